-- The view SubmitOutcome: one row per SubmitID with what became of it, from
-- SubmitLog (one row per SMG answer, so one per segment of a long message)
-- joined with StatusReport by MsgId, and the rows still in Submit. Load it
-- after schema/postgresql.sql:
--   psql -v ON_ERROR_STOP=1 -d brivane -f schema/postgresql-outcome.sql
--
-- Columns: Segments (SMSCount, or the answers when unknown), Answered
-- (SubmitLog rows), Accepted (SubmitResult 0), Refused (an SMG Result other
-- than 0), NotSent (our own outcomes, negative: no answer in time, write
-- failed, not logged in, ...), Delivered / Undelivered (segments whose
-- status report says DELIVRD / anything else), LastAnswer, and FinalState:
--   waiting, claimed, handed over  still in Submit (state 0, 2, 1)
--   sending      fewer answers than segments so far
--   not sent     a segment got one of our own outcomes
--   refused      the SMG refused a segment
--   undelivered  a status report says a segment was not delivered
--   delivered    every segment reported DELIVRD
--   sent         accepted, status reports still missing (or not asked for)
-- Rows recorded before version 7.1 kept our outcomes as positive numbers
-- (5, an errno, 16001): those read as refused.

DROP VIEW IF EXISTS SubmitOutcome;
CREATE VIEW SubmitOutcome AS
SELECT l.SubmitID AS SubmitID,
       MAX(l.Mobile) AS Mobile,
       COALESCE(MAX(l.SMSCount), COUNT(*)) AS Segments,
       COUNT(*) AS Answered,
       SUM(CASE WHEN l.SubmitResult = 0 THEN 1 ELSE 0 END) AS Accepted,
       SUM(CASE WHEN l.SubmitResult > 0 THEN 1 ELSE 0 END) AS Refused,
       SUM(CASE WHEN l.SubmitResult < 0 THEN 1 ELSE 0 END) AS NotSent,
       SUM(CASE WHEN r.Delivered = 1 THEN 1 ELSE 0 END) AS Delivered,
       SUM(CASE WHEN r.Delivered = 0 THEN 1 ELSE 0 END) AS Undelivered,
       MAX(l.LogTime) AS LastAnswer,
       CASE
         WHEN SUM(CASE WHEN l.SubmitResult < 0 THEN 1 ELSE 0 END) > 0 THEN 'not sent'
         WHEN SUM(CASE WHEN l.SubmitResult > 0 THEN 1 ELSE 0 END) > 0 THEN 'refused'
         WHEN SUM(CASE WHEN r.Delivered = 0 THEN 1 ELSE 0 END) > 0 THEN 'undelivered'
         WHEN COUNT(*) < COALESCE(MAX(l.SMSCount), COUNT(*)) THEN 'sending'
         WHEN SUM(CASE WHEN r.Delivered = 1 THEN 1 ELSE 0 END) = COUNT(*) THEN 'delivered'
         ELSE 'sent'
       END AS FinalState
  FROM SubmitLog l
  LEFT JOIN (SELECT MsgId,
                    MAX(CASE WHEN SubmitState = 'DELIVRD' THEN 1 ELSE 0 END) AS Delivered
               FROM StatusReport
              GROUP BY MsgId) r
    ON r.MsgId = l.MsgId AND l.MsgId <> ''
 GROUP BY l.SubmitID
UNION ALL
SELECT s.SubmitID, s.Mobile, COALESCE(s.SMSCount, 0), 0, 0, 0, 0, 0, 0, NULL,
       CASE s.SubmitState WHEN 0 THEN 'waiting' WHEN 2 THEN 'claimed' ELSE 'handed over' END
  FROM Submit s
 WHERE NOT EXISTS (SELECT 1 FROM SubmitLog x WHERE x.SubmitID = s.SubmitID);
