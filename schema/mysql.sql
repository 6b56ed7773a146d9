-- BRIVANE database for MySQL and MariaDB (DBType mysql), reached through
-- MariaDB Connector/ODBC or MySQL Connector/ODBC. Load it into an existing
-- database with the command-line client, which understands DELIMITER:
--   mariadb --default-character-set=utf8mb4 brivane < schema/mysql.sql
--
-- Texts are utf8mb4, so every Chinese character round-trips. ISWappush is
-- BIT(1): the connectors report it as SQL_BIT, which the service reads as
-- a boolean (a BOOLEAN column would be TINYINT(1) and read as a number).
-- Applications may insert 0/1 or FALSE/TRUE into it.
--
-- Re-running this file keeps the data and renews the procedures.

SET NAMES utf8mb4;

-- MT messages waiting to be sent (SubmitState 0) or handed over (1).
CREATE TABLE IF NOT EXISTS Submit (
  SubmitID    BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ServiceId   VARCHAR(10),
  FeeType     VARCHAR(2),
  FeeCode     VARCHAR(6),
  SrcId       VARCHAR(21),
  Mobile      VARCHAR(32),
  ISWappush   BIT(1) NOT NULL DEFAULT b'0',
  PushURL     VARCHAR(259),
  Msg         TEXT,
  LinkId      VARCHAR(20),
  SubmitState INT NOT NULL DEFAULT 0,
  MsgFmt      INT,
  SMSCount    INT,
  CreateTime  DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  SendTime    DATETIME NULL,
  INDEX IX_Submit_SubmitState (SubmitState)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_unicode_ci;

-- One row per SMG answer: a message cut into three segments gets three.
CREATE TABLE IF NOT EXISTS SubmitLog (
  SubmitID     BIGINT NOT NULL,
  ServiceId    VARCHAR(10),
  FeeType      VARCHAR(2),
  FeeCode      VARCHAR(6),
  SrcId        VARCHAR(21),
  Mobile       VARCHAR(32),
  ISWappush    BIT(1) NOT NULL DEFAULT b'0',
  PushURL      VARCHAR(259),
  Msg          TEXT,
  LinkId       VARCHAR(20),
  SubmitState  INT NOT NULL DEFAULT 0,
  MsgFmt       INT,
  SMSCount     INT,
  CreateTime   DATETIME NULL,
  SendTime     DATETIME NULL,
  MsgId        VARCHAR(64),
  SubmitResult INT,
  LogTime      DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  INDEX IX_SubmitLog_MsgId (MsgId),
  INDEX IX_SubmitLog_SubmitID (SubmitID)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_unicode_ci;

-- MO messages.
CREATE TABLE IF NOT EXISTS Deliver (
  DeliverID    INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  Mobile       VARCHAR(32),
  Msg          TEXT,
  SPNumber     VARCHAR(21),
  LinkId       VARCHAR(20),
  MsgId        VARCHAR(64),
  ResponseCode INT,
  ResponseInfo VARCHAR(500),
  ReplyBody    VARCHAR(500),
  ServiceId    INT,
  PKTotal      INT,
  ServiceCode  VARCHAR(10),
  RecvTime     DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_unicode_ci;

-- Status reports; MsgId joins them to SubmitLog.
CREATE TABLE IF NOT EXISTS StatusReport (
  ReportID    INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  MsgId       VARCHAR(64),
  SubmitState VARCHAR(10),
  Mobile      VARCHAR(32),
  SubmitTime  VARCHAR(10),
  DoneTime    VARCHAR(10),
  RecvTime    DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  INDEX IX_StatusReport_MsgId (MsgId)
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_unicode_ci;

-- MO routes: rows with EnableRoute > 0 forward MO messages sent to
-- SPNumber (a prefix) to PostInterface.
CREATE TABLE IF NOT EXISTS Service (
  ServiceID     INT NOT NULL PRIMARY KEY,
  ServiceCode   VARCHAR(50),
  FeeType       VARCHAR(2),
  FeeCode       VARCHAR(6),
  SPNumber      VARCHAR(50),
  PostInterface VARCHAR(259),
  EnableRoute   INT NOT NULL DEFAULT 1
) ENGINE = InnoDB DEFAULT CHARSET = utf8mb4 COLLATE = utf8mb4_unicode_ci;

DROP PROCEDURE IF EXISTS uspUpdateSubmitState;
DROP PROCEDURE IF EXISTS uspMoveSubmitToLog;
DROP PROCEDURE IF EXISTS uspAddDeliver;
DROP PROCEDURE IF EXISTS uspAddStatusReport;
DROP FUNCTION IF EXISTS len;

DELIMITER //

-- The row has been handed to the SMG client. The SMG's answer may have
-- moved the row to SubmitLog already; then the log rows get MsgFmt,
-- SMSCount and SendTime instead.
-- SubmitLog is only searched when the UPDATE of Submit changed nothing:
-- searching it for an id it does not hold yet locks the gap at the end of
-- its SubmitID index, and every uspMoveSubmitToLog insert would wait for
-- this call's transaction (the service commits up to DBCommitBatch marks
-- together). A row the UPDATE changed has no log rows and stays locked
-- until the transaction ends. Otherwise the guarded UPDATE runs as it
-- always did, its test of Submit a locking read of the latest rows.
CREATE PROCEDURE uspUpdateSubmitState(IN p_Id BIGINT, IN p_MsgFmt INT, IN p_SMSCount INT)
BEGIN
  UPDATE Submit
     SET SubmitState = 1, MsgFmt = p_MsgFmt, SMSCount = p_SMSCount, SendTime = NOW()
   WHERE SubmitID = p_Id;
  IF ROW_COUNT() = 0 THEN
    UPDATE SubmitLog
       SET MsgFmt = p_MsgFmt, SMSCount = p_SMSCount, SendTime = NOW()
     WHERE SubmitID = p_Id
       AND NOT EXISTS (SELECT 1 FROM Submit WHERE SubmitID = p_Id);
  END IF;
END//

-- Records the SMG's answer in one transaction. The first answer moves the
-- row from Submit to SubmitLog; answers for further segments of the same
-- message copy its log row with their own MsgId; an id found nowhere still
-- keeps its outcome. The row is locked for update first, so a concurrent
-- uspUpdateSubmitState waits instead of deadlocking on a lock upgrade.
-- Called with autocommit off (the service commits several calls together),
-- it joins the caller's transaction instead of committing it half-way: the
-- caller commits, or rolls back and calls again one by one.
CREATE PROCEDURE uspMoveSubmitToLog(IN p_SubmitID BIGINT, IN p_MsgId VARCHAR(64),
                                    IN p_SubmitResult INT)
BEGIN
  DECLARE v_found INT DEFAULT 0;
  DECLARE v_own INT DEFAULT @@autocommit;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    IF v_own = 1 THEN
      ROLLBACK;
    END IF;
    RESIGNAL;
  END;
  IF v_own = 1 THEN
    START TRANSACTION;
  END IF;
  SELECT COUNT(*) INTO v_found FROM Submit WHERE SubmitID = p_SubmitID FOR UPDATE;
  IF v_found > 0 THEN
    INSERT INTO SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
                           PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
                           SendTime, MsgId, SubmitResult, LogTime)
      SELECT SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
             PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
             SendTime, p_MsgId, p_SubmitResult, NOW()
        FROM Submit WHERE SubmitID = p_SubmitID;
    DELETE FROM Submit WHERE SubmitID = p_SubmitID;
  ELSE
    INSERT INTO SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
                           PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
                           SendTime, MsgId, SubmitResult, LogTime)
      SELECT SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
             PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
             SendTime, p_MsgId, p_SubmitResult, NOW()
        FROM SubmitLog WHERE SubmitID = p_SubmitID LIMIT 1;
    IF ROW_COUNT() = 0 THEN
      INSERT INTO SubmitLog (SubmitID, MsgId, SubmitResult, LogTime)
      VALUES (p_SubmitID, p_MsgId, p_SubmitResult, NOW());
    END IF;
  END IF;
  IF v_own = 1 THEN
    COMMIT;
  END IF;
END//

-- An MO message.
CREATE PROCEDURE uspAddDeliver(IN p_Mobile VARCHAR(32), IN p_Msg TEXT, IN p_SPNumber VARCHAR(21),
                               IN p_LinkId VARCHAR(20), IN p_MsgId VARCHAR(64),
                               IN p_ResponseCode INT, IN p_ResponseInfo TEXT,
                               IN p_ReplyBody TEXT, IN p_ServiceId INT, IN p_PKTotal INT,
                               IN p_ServiceCode VARCHAR(10))
BEGIN
  INSERT INTO Deliver (Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode, ResponseInfo,
                       ReplyBody, ServiceId, PKTotal, ServiceCode, RecvTime)
  VALUES (p_Mobile, p_Msg, p_SPNumber, p_LinkId, p_MsgId, p_ResponseCode,
          LEFT(p_ResponseInfo, 500), LEFT(p_ReplyBody, 500), p_ServiceId, p_PKTotal,
          p_ServiceCode, NOW());
END//

-- A status report.
CREATE PROCEDURE uspAddStatusReport(IN p_MsgId VARCHAR(64), IN p_SubmitState VARCHAR(10),
                                    IN p_Mobile VARCHAR(32), IN p_SubmitTime VARCHAR(10),
                                    IN p_DoneTime VARCHAR(10))
BEGIN
  INSERT INTO StatusReport (MsgId, SubmitState, Mobile, SubmitTime, DoneTime, RecvTime)
  VALUES (p_MsgId, p_SubmitState, p_Mobile, p_SubmitTime, p_DoneTime, NOW());
END//

-- The route query orders by len(spnumber); this makes len() known here.
CREATE FUNCTION len(p_Text TEXT) RETURNS INT DETERMINISTIC
RETURN CHAR_LENGTH(p_Text)//

DELIMITER ;
