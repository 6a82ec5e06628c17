-- Version 5: records and an audit log that can be trusted.

-- Each event holds the SHA-256 (hex) of its content and of the event before it; the events of
-- earlier versions are given theirs by the upgrade itself.
ALTER TABLE AuditLog ADD COLUMN Hash TEXT;

-- Case and category keys are never given again after a delete (AUTOINCREMENT), so that the
-- events of a deleted case never mix with those of a later one. The tables are rebuilt with
-- every column and row; the index and the trigger on Surgery are made again.
CREATE TABLE Surgery_v5 (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  客户编号 TEXT,
  手术大类 TEXT,
  手术小类 TEXT,
  手术医生 TEXT,
  金额 TEXT,
  手术日期 TEXT,
  手术前 TEXT,
  手术前1 TEXT,
  手术前2 TEXT,
  手术后 TEXT,
  手术后1 TEXT,
  手术后2 TEXT
);
INSERT INTO Surgery_v5 (id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2) SELECT id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2 FROM Surgery;
DROP TABLE Surgery;
ALTER TABLE Surgery_v5 RENAME TO Surgery;
CREATE INDEX Surgery_客户编号 ON Surgery (客户编号);
-- A key deleted before this upgrade is not given again either, as far as the log knows it.
INSERT INTO sqlite_sequence (name, seq) SELECT 'Surgery', 0 WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = 'Surgery');
UPDATE sqlite_sequence SET seq = max(seq, coalesce((SELECT max(CaseId) FROM AuditLog), 0), coalesce((SELECT max(id) FROM Surgery), 0)) WHERE name = 'Surgery';

CREATE TABLE Class_v5 (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  类别名称 TEXT,
  父类别 TEXT
);
INSERT INTO Class_v5 (id, 类别名称, 父类别) SELECT id, 类别名称, 父类别 FROM Class;
DROP TABLE Class;
ALTER TABLE Class_v5 RENAME TO Class;

-- A photo's own consent, which can only narrow its case's: 0 record only, 1 shown to
-- prospective customers only. Slot is the Surgery column of the photo (手术前 … 手术后2). A photo
-- without a row follows its case.
CREATE TABLE PictureConsent (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  CaseId INTEGER NOT NULL,
  Slot TEXT NOT NULL,
  Level INTEGER NOT NULL CHECK (Level BETWEEN 0 AND 1),
  ChangedAt TEXT NOT NULL,
  ChangedBy TEXT NOT NULL
);
CREATE UNIQUE INDEX PictureConsent_case_slot ON PictureConsent (CaseId, Slot);

-- A deleted case takes its consents with it.
CREATE TRIGGER Surgery_consent_gone AFTER DELETE ON Surgery BEGIN DELETE FROM CaseConsent WHERE CaseId = old.id; DELETE FROM PictureConsent WHERE CaseId = old.id; END;
