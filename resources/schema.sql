-- The supplied database. Tables and columns keep the names the program's statements use.
-- Every table has an integer key of its own (the program refers to none of them).
CREATE TABLE tUserInfo (
  id INTEGER PRIMARY KEY,
  客户编号 TEXT NOT NULL,
  用户姓名 TEXT,
  性别 TEXT,
  年龄 TEXT,
  电话 TEXT,
  地址 TEXT
);
CREATE UNIQUE INDEX tUserInfo_客户编号 ON tUserInfo (客户编号);

CREATE TABLE Surgery (
  id INTEGER PRIMARY KEY,
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
CREATE INDEX Surgery_客户编号 ON Surgery (客户编号);

CREATE TABLE Class (
  id INTEGER PRIMARY KEY,
  类别名称 TEXT,
  父类别 TEXT
);

CREATE TABLE SysManager (
  id INTEGER PRIMARY KEY,
  UserName TEXT,
  Pwd TEXT,
  IsSYS BOOLEAN NOT NULL DEFAULT 0
);

CREATE TABLE Param (
  id INTEGER PRIMARY KEY,
  MustLogin BOOLEAN NOT NULL DEFAULT 0
);

INSERT INTO Param (MustLogin) VALUES (0);
INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('Admin', 'admin', 1);
