-- BRIVANE database for SQLite (the embedded default), through the SQLite3
-- ODBC driver. Load with:  sqlite3 /path/brivane.db ".read schema/sqlite.sql"
--
-- Four connections write at once, so the file runs in WAL mode (a lasting
-- property of the file) and every DSN should give the driver a busy
-- timeout, so that writers wait for each other instead of failing:
--   [brivane]
--   Driver     = SQLite3
--   Database   = /path/brivane.db
--   Timeout    = 10000
--   SyncPragma = NORMAL
--
-- SQLite has no stored procedures: each procedure is a view with an
-- INSTEAD OF INSERT trigger, and the service calls it (DBType sqlite) as
-- INSERT INTO <procedure> VALUES (?,...). The view's columns are the
-- procedure's parameters in order. Times are local time.
--
-- Re-running this file keeps the data and renews the procedures.

PRAGMA journal_mode = WAL;

-- MT messages waiting to be sent (SubmitState 0) or handed over (1).
CREATE TABLE IF NOT EXISTS Submit (
  SubmitID    INTEGER PRIMARY KEY AUTOINCREMENT,
  ServiceId   NVARCHAR(10),
  FeeType     NVARCHAR(2),
  FeeCode     NVARCHAR(6),
  SrcId       NVARCHAR(21),
  Mobile      NVARCHAR(32),
  ISWappush   BOOLEAN NOT NULL DEFAULT 0,
  PushURL     NVARCHAR(259),
  Msg         TEXT,
  LinkId      NVARCHAR(20),
  SubmitState INTEGER NOT NULL DEFAULT 0,
  MsgFmt      INTEGER,
  SMSCount    INTEGER,
  CreateTime  DATETIME NOT NULL DEFAULT (datetime('now', 'localtime')),
  SendTime    DATETIME
);
CREATE INDEX IF NOT EXISTS IX_Submit_SubmitState ON Submit (SubmitState);

-- One row per SMG answer: a message cut into three segments gets three.
CREATE TABLE IF NOT EXISTS SubmitLog (
  SubmitID     INTEGER NOT NULL,
  ServiceId    NVARCHAR(10),
  FeeType      NVARCHAR(2),
  FeeCode      NVARCHAR(6),
  SrcId        NVARCHAR(21),
  Mobile       NVARCHAR(32),
  ISWappush    BOOLEAN NOT NULL DEFAULT 0,
  PushURL      NVARCHAR(259),
  Msg          TEXT,
  LinkId       NVARCHAR(20),
  SubmitState  INTEGER NOT NULL DEFAULT 0,
  MsgFmt       INTEGER,
  SMSCount     INTEGER,
  CreateTime   DATETIME,
  SendTime     DATETIME,
  MsgId        NVARCHAR(64),
  SubmitResult INTEGER,
  LogTime      DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);
CREATE INDEX IF NOT EXISTS IX_SubmitLog_MsgId ON SubmitLog (MsgId);
CREATE INDEX IF NOT EXISTS IX_SubmitLog_SubmitID ON SubmitLog (SubmitID);

-- MO messages.
CREATE TABLE IF NOT EXISTS Deliver (
  DeliverID    INTEGER PRIMARY KEY AUTOINCREMENT,
  Mobile       NVARCHAR(32),
  Msg          TEXT,
  SPNumber     NVARCHAR(21),
  LinkId       NVARCHAR(20),
  MsgId        NVARCHAR(64),
  ResponseCode INTEGER,
  ResponseInfo NVARCHAR(500),
  ReplyBody    NVARCHAR(500),
  ServiceId    INTEGER,
  PKTotal      INTEGER,
  ServiceCode  NVARCHAR(10),
  RecvTime     DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);

-- Status reports; MsgId joins them to SubmitLog.
CREATE TABLE IF NOT EXISTS StatusReport (
  ReportID    INTEGER PRIMARY KEY AUTOINCREMENT,
  MsgId       NVARCHAR(64),
  SubmitState NVARCHAR(10),
  Mobile      NVARCHAR(32),
  SubmitTime  NVARCHAR(10),
  DoneTime    NVARCHAR(10),
  RecvTime    DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);
CREATE INDEX IF NOT EXISTS IX_StatusReport_MsgId ON StatusReport (MsgId);

-- MO routes: rows with EnableRoute > 0 forward MO messages sent to
-- SPNumber (a prefix) to PostInterface.
CREATE TABLE IF NOT EXISTS Service (
  ServiceID     INTEGER PRIMARY KEY,
  ServiceCode   NVARCHAR(50),
  FeeType       NVARCHAR(2),
  FeeCode       NVARCHAR(6),
  SPNumber      NVARCHAR(50),
  PostInterface NVARCHAR(259),
  EnableRoute   INTEGER NOT NULL DEFAULT 1
);

-- uspUpdateSubmitState(Id, MsgFmt, SMSCount): the row has been handed to
-- the SMG client. The SMG's answer may have moved the row to SubmitLog
-- already; then the log rows get MsgFmt, SMSCount and SendTime instead.
DROP VIEW IF EXISTS uspUpdateSubmitState;
CREATE VIEW uspUpdateSubmitState AS
  SELECT 0 AS Id, 0 AS MsgFmt, 0 AS SMSCount WHERE 0;
CREATE TRIGGER uspUpdateSubmitState_Call INSTEAD OF INSERT ON uspUpdateSubmitState
BEGIN
  UPDATE Submit
     SET SubmitState = 1, MsgFmt = NEW.MsgFmt, SMSCount = NEW.SMSCount,
         SendTime = datetime('now', 'localtime')
   WHERE SubmitID = NEW.Id;
  UPDATE SubmitLog
     SET MsgFmt = NEW.MsgFmt, SMSCount = NEW.SMSCount, SendTime = datetime('now', 'localtime')
   WHERE SubmitID = NEW.Id
     AND NOT EXISTS (SELECT 1 FROM Submit WHERE SubmitID = NEW.Id);
END;

-- uspMoveSubmitToLog(SubmitID, MsgId, SubmitResult): records the SMG's
-- answer. The first answer moves the row from Submit to SubmitLog; the
-- answers for further segments of the same message copy its log row with
-- their own MsgId; an id found nowhere still keeps its outcome. The
-- trigger runs inside the one INSERT statement, so it is one transaction.
DROP VIEW IF EXISTS uspMoveSubmitToLog;
CREATE VIEW uspMoveSubmitToLog AS
  SELECT 0 AS SubmitID, '' AS MsgId, 0 AS SubmitResult WHERE 0;
CREATE TRIGGER uspMoveSubmitToLog_Call INSTEAD OF INSERT ON uspMoveSubmitToLog
BEGIN
  INSERT INTO SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush, PushURL,
                         Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime, SendTime,
                         MsgId, SubmitResult, LogTime)
    SELECT SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush, PushURL,
           Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime, SendTime,
           NEW.MsgId, NEW.SubmitResult, datetime('now', 'localtime')
      FROM SubmitLog
     WHERE SubmitID = NEW.SubmitID
       AND NOT EXISTS (SELECT 1 FROM Submit WHERE SubmitID = NEW.SubmitID)
     ORDER BY rowid LIMIT 1;
  INSERT INTO SubmitLog (SubmitID, MsgId, SubmitResult, LogTime)
    SELECT NEW.SubmitID, NEW.MsgId, NEW.SubmitResult, datetime('now', 'localtime')
     WHERE NOT EXISTS (SELECT 1 FROM Submit WHERE SubmitID = NEW.SubmitID)
       AND NOT EXISTS (SELECT 1 FROM SubmitLog WHERE SubmitID = NEW.SubmitID);
  INSERT INTO SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush, PushURL,
                         Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime, SendTime,
                         MsgId, SubmitResult, LogTime)
    SELECT SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush, PushURL,
           Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime, SendTime,
           NEW.MsgId, NEW.SubmitResult, datetime('now', 'localtime')
      FROM Submit
     WHERE SubmitID = NEW.SubmitID;
  DELETE FROM Submit WHERE SubmitID = NEW.SubmitID;
END;

-- uspAddDeliver(Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode,
-- ResponseInfo, ReplyBody, ServiceId, PKTotal, ServiceCode): an MO message.
DROP VIEW IF EXISTS uspAddDeliver;
CREATE VIEW uspAddDeliver AS
  SELECT '' AS Mobile, '' AS Msg, '' AS SPNumber, '' AS LinkId, '' AS MsgId, 0 AS ResponseCode,
         '' AS ResponseInfo, '' AS ReplyBody, 0 AS ServiceId, 0 AS PKTotal, '' AS ServiceCode
   WHERE 0;
CREATE TRIGGER uspAddDeliver_Call INSTEAD OF INSERT ON uspAddDeliver
BEGIN
  INSERT INTO Deliver (Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode, ResponseInfo,
                       ReplyBody, ServiceId, PKTotal, ServiceCode, RecvTime)
  VALUES (NEW.Mobile, NEW.Msg, NEW.SPNumber, NEW.LinkId, NEW.MsgId, NEW.ResponseCode,
          substr(NEW.ResponseInfo, 1, 500), substr(NEW.ReplyBody, 1, 500), NEW.ServiceId,
          NEW.PKTotal, NEW.ServiceCode, datetime('now', 'localtime'));
END;

-- uspAddStatusReport(MsgId, SubmitState, Mobile, SubmitTime, DoneTime).
DROP VIEW IF EXISTS uspAddStatusReport;
CREATE VIEW uspAddStatusReport AS
  SELECT '' AS MsgId, '' AS SubmitState, '' AS Mobile, '' AS SubmitTime, '' AS DoneTime WHERE 0;
CREATE TRIGGER uspAddStatusReport_Call INSTEAD OF INSERT ON uspAddStatusReport
BEGIN
  INSERT INTO StatusReport (MsgId, SubmitState, Mobile, SubmitTime, DoneTime, RecvTime)
  VALUES (NEW.MsgId, NEW.SubmitState, NEW.Mobile, NEW.SubmitTime, NEW.DoneTime,
          datetime('now', 'localtime'));
END;
