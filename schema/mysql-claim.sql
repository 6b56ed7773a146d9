-- Optional, for MySQL and MariaDB (DBType mysql): lets several brivane
-- instances poll one database without sending a row twice. Load it after
-- schema/mysql.sql and set SubmitQuery=uspClaimSubmit in every instance's
-- brivane.ini:
--   mariadb --default-character-set=utf8mb4 brivane < schema/mysql-claim.sql
--
-- Each MT pass calls uspClaimSubmit instead of selecting waiting rows. The
-- procedure marks up to 20 waiting rows (keep the LIMIT equal to
-- MTSpeedLimit) as claimed by its own connection, SubmitState 2, in one
-- UPDATE that a second instance's UPDATE waits for and then skips, and
-- returns the rows its connection holds: the new ones and any whose submit
-- the client refused in an earlier pass (no link), which are tried again.
-- A claimed row then goes on as any other: uspUpdateSubmitState sets state
-- 1, the SMG's answer moves it to SubmitLog.
--
-- Rows claimed by a connection that has gone (an instance killed between
-- claiming and handing over) stay in state 2. Give them back, after
-- checking SubmitLog for any that reached the SMG, with:
--   UPDATE Submit SET SubmitState = 0, ClaimedBy = NULL
--    WHERE SubmitState = 2
--      AND ClaimedBy NOT IN (SELECT ID FROM information_schema.PROCESSLIST);
--
-- Re-running this file keeps the data and renews the procedure.

DROP PROCEDURE IF EXISTS brivaneAddClaimedBy;
DROP PROCEDURE IF EXISTS uspClaimSubmit;

DELIMITER //

CREATE PROCEDURE brivaneAddClaimedBy()
BEGIN
  IF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                  WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'Submit'
                    AND COLUMN_NAME = 'ClaimedBy') THEN
    ALTER TABLE Submit ADD COLUMN ClaimedBy BIGINT UNSIGNED NULL;
  END IF;
END//

CREATE PROCEDURE uspClaimSubmit()
BEGIN
  UPDATE Submit
     SET SubmitState = 2, ClaimedBy = CONNECTION_ID()
   WHERE SubmitState = 0
   ORDER BY SubmitID
   LIMIT 20;
  SELECT *
    FROM Submit
   WHERE SubmitState = 2 AND ClaimedBy = CONNECTION_ID()
   ORDER BY SubmitID
   LIMIT 20;
END//

DELIMITER ;

CALL brivaneAddClaimedBy();
DROP PROCEDURE brivaneAddClaimedBy;
