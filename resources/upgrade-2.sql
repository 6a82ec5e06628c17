-- Version 2: the schema version and the audit log. The five original tables are not touched.
CREATE TABLE BelcaraSchema (
  Version INTEGER NOT NULL
);

-- Who did what, and when. Rows are only ever added: the triggers refuse any change or delete.
-- At is UTC as 'YYYY-MM-DDTHH:MM:SS.zzzZ', so text order is time order.
CREATE TABLE AuditLog (
  id INTEGER PRIMARY KEY,
  At TEXT NOT NULL,
  UserName TEXT NOT NULL,
  Host TEXT NOT NULL,
  Action TEXT NOT NULL,
  CustomerNo TEXT,
  CaseId INTEGER,
  Detail TEXT
);
CREATE INDEX AuditLog_At ON AuditLog (At);
CREATE INDEX AuditLog_UserName ON AuditLog (UserName, At);
CREATE INDEX AuditLog_Action ON AuditLog (Action, At);
CREATE INDEX AuditLog_CustomerNo ON AuditLog (CustomerNo, At);
CREATE TRIGGER AuditLog_no_update BEFORE UPDATE ON AuditLog BEGIN SELECT RAISE(ABORT, 'AuditLog is append-only: rows cannot be changed'); END;
CREATE TRIGGER AuditLog_no_delete BEFORE DELETE ON AuditLog BEGIN SELECT RAISE(ABORT, 'AuditLog is append-only: rows cannot be deleted'); END;
