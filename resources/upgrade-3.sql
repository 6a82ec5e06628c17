-- Version 3: stored alignments of picture pairs and each case's consent. The five original
-- tables keep their columns; Surgery only gains a trigger that removes a deleted case's consent.

-- How the after picture of a pair is drawn over the before picture: a similarity transform
-- (scale, rotation, shift) as written by the alignment code. Pictures are named as Surgery
-- stores them. Method is 'manual' or 'auto'.
CREATE TABLE PictureAlignment (
  id INTEGER PRIMARY KEY,
  BeforePicture TEXT NOT NULL,
  AfterPicture TEXT NOT NULL,
  Transform TEXT NOT NULL,
  Method TEXT NOT NULL,
  ChangedAt TEXT NOT NULL,
  ChangedBy TEXT NOT NULL
);
CREATE UNIQUE INDEX PictureAlignment_pair ON PictureAlignment (BeforePicture, AfterPicture);

-- What a case's customer agreed to: 0 record only, 1 may be shown to prospective customers,
-- 2 may also be used in publicity. A case without a row is record only. SignedOn is
-- 'YYYY-MM-DD' or empty. CaseId is Surgery.id.
CREATE TABLE CaseConsent (
  id INTEGER PRIMARY KEY,
  CaseId INTEGER NOT NULL,
  Level INTEGER NOT NULL CHECK (Level BETWEEN 0 AND 2),
  SignedOn TEXT,
  Note TEXT,
  ChangedAt TEXT NOT NULL,
  ChangedBy TEXT NOT NULL
);
CREATE UNIQUE INDEX CaseConsent_CaseId ON CaseConsent (CaseId);
-- A case's number may be given again after it is deleted; its consent must not pass on.
CREATE TRIGGER Surgery_consent_gone AFTER DELETE ON Surgery BEGIN DELETE FROM CaseConsent WHERE CaseId = old.id; END;
