-- Claiming functions for PostgreSQL 12+ (DBType postgresql): let several
-- brivane instances poll one database without sending a row twice. Load it
-- after schema/postgresql.sql and set ClaimSubmits=1 in every instance's
-- brivane.ini:
--   psql -v ON_ERROR_STOP=1 -d brivane -f schema/postgresql-claim.sql
--
-- A claim belongs to an instance (the InstanceID key), not to a connection.
-- uspClaimSubmitRows locks up to MTSpeedLimit claimable rows with FOR
-- UPDATE SKIP LOCKED (a second instance skips them instead of waiting),
-- marks them SubmitState 2 with ClaimedBy and ClaimTime and returns them.
-- Claimable are waiting rows (state 0), rows this instance claimed and has
-- not handed over, and rows whose claim is older than the lease (ClaimLease
-- seconds). A handed-over row (state 1) is never claimed again.
-- uspReleaseSubmitRow gives one claimed row back; uspTakeAbandonedSubmits
-- takes over rows handed over long ago and never answered, for the caller
-- to record the no-answer outcome. Each function runs as one transaction;
-- times are the server's clock.
--
-- Re-running this file keeps the data and renews the functions.

ALTER TABLE Submit ADD COLUMN IF NOT EXISTS ClaimedBy VARCHAR(255);
ALTER TABLE Submit ADD COLUMN IF NOT EXISTS ClaimTime TIMESTAMP;
CREATE INDEX IF NOT EXISTS IX_Submit_Claim ON Submit (SubmitState, ClaimTime);

DROP FUNCTION IF EXISTS uspClaimSubmitRows(VARCHAR, INTEGER, INTEGER);
DROP FUNCTION IF EXISTS uspReleaseSubmitRow(VARCHAR, BIGINT);
DROP FUNCTION IF EXISTS uspTakeAbandonedSubmits(VARCHAR, INTEGER, INTEGER);

-- The locking subquery is MATERIALIZED so that it runs exactly once: the
-- rows it locked are the rows updated and returned.
CREATE FUNCTION uspClaimSubmitRows(p_Instance VARCHAR, p_Count INTEGER,
                                   p_LeaseSeconds INTEGER) RETURNS SETOF Submit AS $$
  WITH c AS MATERIALIZED (
    SELECT SubmitID
      FROM Submit
     WHERE SubmitState = 0
        OR (SubmitState = 2
            AND (ClaimedBy = p_Instance OR ClaimTime IS NULL
                 OR ClaimTime < LOCALTIMESTAMP - make_interval(secs => p_LeaseSeconds)))
     ORDER BY SubmitID
     LIMIT p_Count
       FOR UPDATE SKIP LOCKED)
  UPDATE Submit s
     SET SubmitState = 2, ClaimedBy = p_Instance, ClaimTime = LOCALTIMESTAMP
    FROM c
   WHERE s.SubmitID = c.SubmitID
  RETURNING s.*;
$$ LANGUAGE sql;

CREATE FUNCTION uspReleaseSubmitRow(p_Instance VARCHAR, p_SubmitID BIGINT) RETURNS void AS $$
  UPDATE Submit
     SET SubmitState = 0, ClaimedBy = NULL, ClaimTime = NULL
   WHERE SubmitID = p_SubmitID AND SubmitState = 2 AND ClaimedBy = p_Instance;
$$ LANGUAGE sql;

-- The new ClaimTime keeps a second instance from taking the same rows until
-- p_AfterSeconds have passed again.
CREATE FUNCTION uspTakeAbandonedSubmits(p_Instance VARCHAR, p_Count INTEGER,
                                        p_AfterSeconds INTEGER)
  RETURNS TABLE (AbandonedID BIGINT) AS $$
  WITH c AS MATERIALIZED (
    SELECT SubmitID
      FROM Submit
     WHERE SubmitState = 1
       AND ClaimTime < LOCALTIMESTAMP - make_interval(secs => p_AfterSeconds)
     ORDER BY SubmitID
     LIMIT p_Count
       FOR UPDATE SKIP LOCKED)
  UPDATE Submit s
     SET ClaimedBy = p_Instance, ClaimTime = LOCALTIMESTAMP
    FROM c
   WHERE s.SubmitID = c.SubmitID
  RETURNING s.SubmitID::BIGINT;
$$ LANGUAGE sql;
