-- Version 4: the identity of this installation. Backups of several installations may share one
-- disk; each backup is marked with this id so that rotation and restore keep to their own.
CREATE TABLE BelcaraInstallation (
  Id text PRIMARY KEY NOT NULL,
  CreatedAt text NOT NULL
);
INSERT INTO BelcaraInstallation (Id, CreatedAt) VALUES (md5(random()::text || clock_timestamp()::text), to_char(localtimestamp, 'YYYY-MM-DD"T"HH24:MI:SS'));
