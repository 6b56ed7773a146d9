-- BRIVANE database for Microsoft SQL Server (DBType mssql), reached through
-- FreeTDS (tdsodbc) or another SQL Server ODBC driver. Run it in the target
-- database with sqlcmd, which understands the GO separators:
--   sqlcmd -S server -d brivane -i schema/mssql.sql
-- Needs SQL Server 2008 or later. Texts are NVARCHAR (UTF-16), so Chinese
-- text round-trips whatever the database collation; ISWappush is BIT,
-- which every driver reports as SQL_BIT.
--
-- Re-running this file keeps the data and renews the procedures.

SET ANSI_NULLS ON;
SET QUOTED_IDENTIFIER ON;
GO

-- MT messages waiting to be sent (SubmitState 0) or handed over (1).
IF OBJECT_ID(N'dbo.Submit', N'U') IS NULL
BEGIN
  CREATE TABLE dbo.Submit (
    SubmitID    BIGINT IDENTITY(1, 1) NOT NULL CONSTRAINT PK_Submit PRIMARY KEY,
    ServiceId   NVARCHAR(10) NULL,
    FeeType     NVARCHAR(2) NULL,
    FeeCode     NVARCHAR(6) NULL,
    SrcId       NVARCHAR(21) NULL,
    Mobile      NVARCHAR(32) NULL,
    ISWappush   BIT NOT NULL CONSTRAINT DF_Submit_ISWappush DEFAULT (0),
    PushURL     NVARCHAR(259) NULL,
    Msg         NVARCHAR(MAX) NULL,
    LinkId      NVARCHAR(20) NULL,
    SubmitState INT NOT NULL CONSTRAINT DF_Submit_SubmitState DEFAULT (0),
    MsgFmt      INT NULL,
    SMSCount    INT NULL,
    CreateTime  DATETIME NOT NULL CONSTRAINT DF_Submit_CreateTime DEFAULT (GETDATE()),
    SendTime    DATETIME NULL
  );
  CREATE INDEX IX_Submit_SubmitState ON dbo.Submit (SubmitState);
END
GO

-- One row per SMG answer: a message cut into three segments gets three.
IF OBJECT_ID(N'dbo.SubmitLog', N'U') IS NULL
BEGIN
  CREATE TABLE dbo.SubmitLog (
    SubmitID     BIGINT NOT NULL,
    ServiceId    NVARCHAR(10) NULL,
    FeeType      NVARCHAR(2) NULL,
    FeeCode      NVARCHAR(6) NULL,
    SrcId        NVARCHAR(21) NULL,
    Mobile       NVARCHAR(32) NULL,
    ISWappush    BIT NOT NULL CONSTRAINT DF_SubmitLog_ISWappush DEFAULT (0),
    PushURL      NVARCHAR(259) NULL,
    Msg          NVARCHAR(MAX) NULL,
    LinkId       NVARCHAR(20) NULL,
    SubmitState  INT NOT NULL CONSTRAINT DF_SubmitLog_SubmitState DEFAULT (0),
    MsgFmt       INT NULL,
    SMSCount     INT NULL,
    CreateTime   DATETIME NULL,
    SendTime     DATETIME NULL,
    MsgId        NVARCHAR(64) NULL,
    SubmitResult INT NULL,
    LogTime      DATETIME NOT NULL CONSTRAINT DF_SubmitLog_LogTime DEFAULT (GETDATE())
  );
  CREATE INDEX IX_SubmitLog_MsgId ON dbo.SubmitLog (MsgId);
  CREATE INDEX IX_SubmitLog_SubmitID ON dbo.SubmitLog (SubmitID);
END
GO

-- MO messages.
IF OBJECT_ID(N'dbo.Deliver', N'U') IS NULL
  CREATE TABLE dbo.Deliver (
    DeliverID    INT IDENTITY(1, 1) NOT NULL CONSTRAINT PK_Deliver PRIMARY KEY,
    Mobile       NVARCHAR(32) NULL,
    Msg          NVARCHAR(MAX) NULL,
    SPNumber     NVARCHAR(21) NULL,
    LinkId       NVARCHAR(20) NULL,
    MsgId        NVARCHAR(64) NULL,
    ResponseCode INT NULL,
    ResponseInfo NVARCHAR(500) NULL,
    ReplyBody    NVARCHAR(500) NULL,
    ServiceId    INT NULL,
    PKTotal      INT NULL,
    ServiceCode  NVARCHAR(10) NULL,
    RecvTime     DATETIME NOT NULL CONSTRAINT DF_Deliver_RecvTime DEFAULT (GETDATE())
  );
GO

-- Status reports; MsgId joins them to SubmitLog.
IF OBJECT_ID(N'dbo.StatusReport', N'U') IS NULL
BEGIN
  CREATE TABLE dbo.StatusReport (
    ReportID    INT IDENTITY(1, 1) NOT NULL CONSTRAINT PK_StatusReport PRIMARY KEY,
    MsgId       NVARCHAR(64) NULL,
    SubmitState NVARCHAR(10) NULL,
    Mobile      NVARCHAR(32) NULL,
    SubmitTime  NVARCHAR(10) NULL,
    DoneTime    NVARCHAR(10) NULL,
    RecvTime    DATETIME NOT NULL CONSTRAINT DF_StatusReport_RecvTime DEFAULT (GETDATE())
  );
  CREATE INDEX IX_StatusReport_MsgId ON dbo.StatusReport (MsgId);
END
GO

-- MO routes: rows with EnableRoute > 0 forward MO messages sent to
-- SPNumber (a prefix) to PostInterface.
IF OBJECT_ID(N'dbo.Service', N'U') IS NULL
  CREATE TABLE dbo.Service (
    ServiceID     INT NOT NULL CONSTRAINT PK_Service PRIMARY KEY,
    ServiceCode   NVARCHAR(50) NULL,
    FeeType       NVARCHAR(2) NULL,
    FeeCode       NVARCHAR(6) NULL,
    SPNumber      NVARCHAR(50) NULL,
    PostInterface NVARCHAR(259) NULL,
    EnableRoute   INT NOT NULL CONSTRAINT DF_Service_EnableRoute DEFAULT (1)
  );
GO

IF OBJECT_ID(N'dbo.uspUpdateSubmitState', N'P') IS NOT NULL DROP PROCEDURE dbo.uspUpdateSubmitState;
IF OBJECT_ID(N'dbo.uspMoveSubmitToLog', N'P') IS NOT NULL DROP PROCEDURE dbo.uspMoveSubmitToLog;
IF OBJECT_ID(N'dbo.uspAddDeliver', N'P') IS NOT NULL DROP PROCEDURE dbo.uspAddDeliver;
IF OBJECT_ID(N'dbo.uspAddStatusReport', N'P') IS NOT NULL DROP PROCEDURE dbo.uspAddStatusReport;
GO

-- The row has been handed to the SMG client. The SMG's answer may have
-- moved the row to SubmitLog already; then the log rows get MsgFmt,
-- SMSCount and SendTime instead.
CREATE PROCEDURE dbo.uspUpdateSubmitState
  @Id BIGINT,
  @MsgFmt INT,
  @SMSCount INT
AS
BEGIN
  SET NOCOUNT ON;
  UPDATE dbo.Submit
     SET SubmitState = 1, MsgFmt = @MsgFmt, SMSCount = @SMSCount, SendTime = GETDATE()
   WHERE SubmitID = @Id;
  IF @@ROWCOUNT = 0
    UPDATE dbo.SubmitLog
       SET MsgFmt = @MsgFmt, SMSCount = @SMSCount, SendTime = GETDATE()
     WHERE SubmitID = @Id;
END
GO

-- Records the SMG's answer in one transaction. The first answer moves the
-- row from Submit to SubmitLog; answers for further segments of the same
-- message copy its log row with their own MsgId; an id found nowhere still
-- keeps its outcome. The row is locked for update first, so a concurrent
-- uspUpdateSubmitState waits instead of deadlocking on a lock upgrade.
CREATE PROCEDURE dbo.uspMoveSubmitToLog
  @SubmitID BIGINT,
  @MsgId NVARCHAR(64),
  @SubmitResult INT
AS
BEGIN
  SET NOCOUNT ON;
  SET XACT_ABORT ON;
  BEGIN TRANSACTION;
  IF EXISTS (SELECT 1 FROM dbo.Submit WITH (UPDLOCK, HOLDLOCK) WHERE SubmitID = @SubmitID)
  BEGIN
    INSERT INTO dbo.SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
                               PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
                               SendTime, MsgId, SubmitResult, LogTime)
      SELECT SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
             PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
             SendTime, @MsgId, @SubmitResult, GETDATE()
        FROM dbo.Submit WHERE SubmitID = @SubmitID;
    DELETE FROM dbo.Submit WHERE SubmitID = @SubmitID;
  END
  ELSE
  BEGIN
    INSERT INTO dbo.SubmitLog (SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
                               PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
                               SendTime, MsgId, SubmitResult, LogTime)
      SELECT TOP (1) SubmitID, ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush,
             PushURL, Msg, LinkId, SubmitState, MsgFmt, SMSCount, CreateTime,
             SendTime, @MsgId, @SubmitResult, GETDATE()
        FROM dbo.SubmitLog WHERE SubmitID = @SubmitID;
    IF @@ROWCOUNT = 0
      INSERT INTO dbo.SubmitLog (SubmitID, MsgId, SubmitResult, LogTime)
      VALUES (@SubmitID, @MsgId, @SubmitResult, GETDATE());
  END
  COMMIT TRANSACTION;
END
GO

-- An MO message.
CREATE PROCEDURE dbo.uspAddDeliver
  @Mobile NVARCHAR(32),
  @Msg NVARCHAR(MAX),
  @SPNumber NVARCHAR(21),
  @LinkId NVARCHAR(20),
  @MsgId NVARCHAR(64),
  @ResponseCode INT,
  @ResponseInfo NVARCHAR(MAX),
  @ReplyBody NVARCHAR(MAX),
  @ServiceId INT,
  @PKTotal INT,
  @ServiceCode NVARCHAR(10)
AS
BEGIN
  SET NOCOUNT ON;
  INSERT INTO dbo.Deliver (Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode, ResponseInfo,
                           ReplyBody, ServiceId, PKTotal, ServiceCode, RecvTime)
  VALUES (@Mobile, @Msg, @SPNumber, @LinkId, @MsgId, @ResponseCode, LEFT(@ResponseInfo, 500),
          LEFT(@ReplyBody, 500), @ServiceId, @PKTotal, @ServiceCode, GETDATE());
END
GO

-- A status report.
CREATE PROCEDURE dbo.uspAddStatusReport
  @MsgId NVARCHAR(64),
  @SubmitState NVARCHAR(10),
  @Mobile NVARCHAR(32),
  @SubmitTime NVARCHAR(10),
  @DoneTime NVARCHAR(10)
AS
BEGIN
  SET NOCOUNT ON;
  INSERT INTO dbo.StatusReport (MsgId, SubmitState, Mobile, SubmitTime, DoneTime, RecvTime)
  VALUES (@MsgId, @SubmitState, @Mobile, @SubmitTime, @DoneTime, GETDATE());
END
GO
