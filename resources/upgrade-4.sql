-- Version 4: the identity of this installation. Backups of several installations may share one
-- disk; each backup is marked with this id so that rotation and restore keep to their own.
CREATE TABLE BelcaraInstallation (
  Id TEXT PRIMARY KEY NOT NULL,
  CreatedAt TEXT NOT NULL
);
INSERT INTO BelcaraInstallation (Id, CreatedAt) VALUES (lower(hex(randomblob(16))), strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime'));
