-- Claiming procedures for Microsoft SQL Server 2008+ (DBType mssql): let
-- several brivane instances poll one database without sending a row twice.
-- Run it after schema/mssql.sql and set ClaimSubmits=1 in every instance's
-- brivane.ini:
--   sqlcmd -S server -d brivane -i schema/mssql-claim.sql
--
-- A claim belongs to an instance (the InstanceID key), not to a connection.
-- uspClaimSubmitRows takes up to MTSpeedLimit claimable rows with UPDLOCK
-- and READPAST (a second instance passes over rows another has locked
-- instead of waiting), marks them SubmitState 2 with ClaimedBy and
-- ClaimTime in the same statement and returns them (OUTPUT). Claimable are
-- waiting rows (state 0), rows this instance claimed and has not handed
-- over, and rows whose claim is older than the lease (ClaimLease seconds).
-- A handed-over row (state 1) is never claimed again. uspReleaseSubmitRow
-- gives one claimed row back; uspTakeAbandonedSubmits takes over rows
-- handed over long ago and never answered, for the caller to record the
-- no-answer outcome. Times are the server's clock.
--
-- READPAST needs READ COMMITTED or REPEATABLE READ (the default READ
-- COMMITTED does). OUTPUT without INTO fails on a table with triggers: if
-- Submit has one, add a table variable and OUTPUT ... INTO it.
--
-- Re-running this file keeps the data and renews the procedures.

SET ANSI_NULLS ON;
SET QUOTED_IDENTIFIER ON;
GO

IF COL_LENGTH(N'dbo.Submit', N'ClaimedBy') IS NULL
  ALTER TABLE dbo.Submit ADD ClaimedBy NVARCHAR(255) NULL;
IF COL_LENGTH(N'dbo.Submit', N'ClaimTime') IS NULL
  ALTER TABLE dbo.Submit ADD ClaimTime DATETIME2(0) NULL;
GO

IF NOT EXISTS (SELECT 1 FROM sys.indexes
                WHERE name = N'IX_Submit_Claim' AND object_id = OBJECT_ID(N'dbo.Submit'))
  CREATE INDEX IX_Submit_Claim ON dbo.Submit (SubmitState, ClaimTime);
GO

IF OBJECT_ID(N'dbo.uspClaimSubmitRows', N'P') IS NOT NULL DROP PROCEDURE dbo.uspClaimSubmitRows;
IF OBJECT_ID(N'dbo.uspReleaseSubmitRow', N'P') IS NOT NULL DROP PROCEDURE dbo.uspReleaseSubmitRow;
IF OBJECT_ID(N'dbo.uspTakeAbandonedSubmits', N'P') IS NOT NULL
  DROP PROCEDURE dbo.uspTakeAbandonedSubmits;
GO

-- The CTE picks the rows in SubmitID order; updating through it updates
-- exactly those rows, which stay locked (UPDLOCK, then the update's own
-- exclusive lock) until the statement ends.
CREATE PROCEDURE dbo.uspClaimSubmitRows
  @Instance NVARCHAR(255), @Count INT, @LeaseSeconds INT
AS
BEGIN
  SET NOCOUNT ON;
  WITH c AS (
    SELECT TOP (@Count) *
      FROM dbo.Submit WITH (ROWLOCK, UPDLOCK, READPAST)
     WHERE SubmitState = 0
        OR (SubmitState = 2
            AND (ClaimedBy = @Instance OR ClaimTime IS NULL
                 OR ClaimTime < DATEADD(SECOND, -@LeaseSeconds, SYSDATETIME())))
     ORDER BY SubmitID)
  UPDATE c
     SET SubmitState = 2, ClaimedBy = @Instance, ClaimTime = SYSDATETIME()
  OUTPUT inserted.*;
END;
GO

CREATE PROCEDURE dbo.uspReleaseSubmitRow
  @Instance NVARCHAR(255), @SubmitID BIGINT
AS
BEGIN
  SET NOCOUNT ON;
  UPDATE dbo.Submit
     SET SubmitState = 0, ClaimedBy = NULL, ClaimTime = NULL
   WHERE SubmitID = @SubmitID AND SubmitState = 2 AND ClaimedBy = @Instance;
END;
GO

CREATE PROCEDURE dbo.uspTakeAbandonedSubmits
  @Instance NVARCHAR(255), @Count INT, @AfterSeconds INT
AS
BEGIN
  SET NOCOUNT ON;
  WITH c AS (
    SELECT TOP (@Count) *
      FROM dbo.Submit WITH (ROWLOCK, UPDLOCK, READPAST)
     WHERE SubmitState = 1 AND ClaimTime < DATEADD(SECOND, -@AfterSeconds, SYSDATETIME())
     ORDER BY SubmitID)
  UPDATE c
     SET ClaimedBy = @Instance, ClaimTime = SYSDATETIME()
  OUTPUT CAST(inserted.SubmitID AS BIGINT) AS AbandonedID;
END;
GO
