-- Claiming procedures for MySQL 8.0+ and MariaDB 10.6+ (DBType mysql): let
-- several brivane instances poll one database without sending a row twice.
-- Load it after schema/mysql.sql and set ClaimSubmits=1 in every instance's
-- brivane.ini:
--   mariadb --default-character-set=utf8mb4 brivane < schema/mysql-claim.sql
--
-- A claim belongs to an instance (the InstanceID key: by default host name
-- and home directory), not to a database connection, so it survives a
-- reconnect. Each MT pass calls uspClaimSubmitRows, which in one short
-- transaction locks up to MTSpeedLimit rows with FOR UPDATE SKIP LOCKED (a
-- second instance skips them instead of waiting), sets SubmitState 2,
-- ClaimedBy and ClaimTime, and returns them. Claimable are waiting rows
-- (state 0), rows this instance claimed earlier and has not handed over,
-- and rows whose claim is older than the lease (ClaimLease seconds): their
-- instance died or stalled between claiming and handing over. A handed-over
-- row (state 1) is never claimed again.
--
-- uspReleaseSubmitRow gives one claimed row back (state 0): the instance
-- calls it for every row it claimed and did not hand over (a stop in the
-- middle of a pass, no link to send on). uspTakeAbandonedSubmits finds rows
-- that were handed over long ago and never answered (their instance died
-- before recording an outcome) and takes them over, so that the instance
-- calling it records the no-answer outcome (Result 5) once for each.
--
-- Times are the database server's clock, so the instances' clocks do not
-- matter. Re-running this file keeps the data and renews the procedures.
-- An older ClaimedBy column (the connection id of the first version of
-- this file) becomes text; claims it left behind have no ClaimTime and are
-- claimable at once.

DROP PROCEDURE IF EXISTS brivaneAddClaimColumns;
DROP PROCEDURE IF EXISTS uspClaimSubmit;
DROP PROCEDURE IF EXISTS uspClaimSubmitRows;
DROP PROCEDURE IF EXISTS uspReleaseSubmitRow;
DROP PROCEDURE IF EXISTS uspTakeAbandonedSubmits;

DELIMITER //

CREATE PROCEDURE brivaneAddClaimColumns()
BEGIN
  IF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                  WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'Submit'
                    AND COLUMN_NAME = 'ClaimedBy') THEN
    ALTER TABLE Submit ADD COLUMN ClaimedBy VARCHAR(255) NULL;
  ELSEIF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                      WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'Submit'
                        AND COLUMN_NAME = 'ClaimedBy' AND DATA_TYPE = 'varchar') THEN
    ALTER TABLE Submit MODIFY COLUMN ClaimedBy VARCHAR(255) NULL;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                  WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'Submit'
                    AND COLUMN_NAME = 'ClaimTime') THEN
    ALTER TABLE Submit ADD COLUMN ClaimTime DATETIME NULL;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM information_schema.STATISTICS
                  WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'Submit'
                    AND INDEX_NAME = 'IX_Submit_Claim') THEN
    CREATE INDEX IX_Submit_Claim ON Submit (SubmitState, ClaimTime);
  END IF;
END//

-- Claims up to p_Count rows for p_Instance and returns them (whole Submit
-- rows, in SubmitID order). READ COMMITTED keeps the scan from locking rows
-- it does not take; the rows taken stay locked until the COMMIT, so two
-- instances never take the same row.
CREATE PROCEDURE uspClaimSubmitRows(IN p_Instance VARCHAR(255), IN p_Count INT,
                                    IN p_LeaseSeconds INT)
BEGIN
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    ROLLBACK;
    RESIGNAL;
  END;
  CREATE TEMPORARY TABLE IF NOT EXISTS brivaneClaimed (SubmitID BIGINT NOT NULL PRIMARY KEY)
    ENGINE = MEMORY;
  DELETE FROM brivaneClaimed;
  SET TRANSACTION ISOLATION LEVEL READ COMMITTED;
  START TRANSACTION;
  INSERT INTO brivaneClaimed (SubmitID)
    SELECT SubmitID
      FROM Submit
     WHERE SubmitState = 0
        OR (SubmitState = 2
            AND (ClaimedBy = p_Instance OR ClaimTime IS NULL
                 OR ClaimTime < NOW() - INTERVAL p_LeaseSeconds SECOND))
     ORDER BY SubmitID
     LIMIT p_Count
       FOR UPDATE SKIP LOCKED;
  UPDATE Submit JOIN brivaneClaimed USING (SubmitID)
     SET SubmitState = 2, ClaimedBy = p_Instance, ClaimTime = NOW();
  COMMIT;
  SELECT Submit.*
    FROM Submit JOIN brivaneClaimed USING (SubmitID)
   ORDER BY SubmitID;
END//

-- Gives back a row p_Instance claimed and did not hand over.
CREATE PROCEDURE uspReleaseSubmitRow(IN p_Instance VARCHAR(255), IN p_SubmitID BIGINT)
BEGIN
  UPDATE Submit
     SET SubmitState = 0, ClaimedBy = NULL, ClaimTime = NULL
   WHERE SubmitID = p_SubmitID AND SubmitState = 2 AND ClaimedBy = p_Instance;
END//

-- Takes over up to p_Count rows handed over (state 1) more than
-- p_AfterSeconds ago and still unanswered, and returns their ids
-- (AbandonedID). The new ClaimTime keeps a second instance from taking the
-- same rows until p_AfterSeconds have passed again.
CREATE PROCEDURE uspTakeAbandonedSubmits(IN p_Instance VARCHAR(255), IN p_Count INT,
                                         IN p_AfterSeconds INT)
BEGIN
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    ROLLBACK;
    RESIGNAL;
  END;
  CREATE TEMPORARY TABLE IF NOT EXISTS brivaneAbandoned (SubmitID BIGINT NOT NULL PRIMARY KEY)
    ENGINE = MEMORY;
  DELETE FROM brivaneAbandoned;
  SET TRANSACTION ISOLATION LEVEL READ COMMITTED;
  START TRANSACTION;
  INSERT INTO brivaneAbandoned (SubmitID)
    SELECT SubmitID
      FROM Submit
     WHERE SubmitState = 1 AND ClaimTime < NOW() - INTERVAL p_AfterSeconds SECOND
     ORDER BY SubmitID
     LIMIT p_Count
       FOR UPDATE SKIP LOCKED;
  UPDATE Submit JOIN brivaneAbandoned USING (SubmitID)
     SET ClaimedBy = p_Instance, ClaimTime = NOW();
  COMMIT;
  SELECT SubmitID AS AbandonedID FROM brivaneAbandoned ORDER BY SubmitID;
END//

-- The first version of this file's procedure, for instances still set up
-- with SubmitQuery=uspClaimSubmit: claims 20 rows for its connection, now
-- with a 60-second lease. Prefer ClaimSubmits=1.
CREATE PROCEDURE uspClaimSubmit()
BEGIN
  CALL uspClaimSubmitRows(CONCAT('connection ', CONNECTION_ID()), 20, 60);
END//

DELIMITER ;

CALL brivaneAddClaimColumns();
DROP PROCEDURE brivaneAddClaimColumns;
