-- Portal database: the tables and columns the portal context reads. Column
-- names are unique across the tables joined by the settings statement, which
-- names most of them without a table.

-- A customer of the portal. SubscriberId names the customer (a subscriber)
-- that resells to this one; 0 for none.
CREATE TABLE Customer (
  id           INT          NOT NULL PRIMARY KEY,
  SubscriberId INT          NOT NULL DEFAULT 0,
  CustomerName VARCHAR(128) NOT NULL,
  CustomerType INT          NOT NULL DEFAULT 0,
  ThemeId      INT          NOT NULL DEFAULT 0,
  KEY (SubscriberId)
);

-- A web login. id is the contact id; a login that belongs to the customer as
-- a whole rather than to one contact has none.
CREATE TABLE CustomerContact (
  username   VARCHAR(64) NOT NULL PRIMARY KEY,
  id         INT         NULL UNIQUE,
  customerid INT         NOT NULL,
  KEY (customerid)
);

-- Named settings of a contact ("timezone", "reportmask", "superqueue",
-- "administrator"); userid is the contact id.
CREATE TABLE CustomerContactAttrib (
  userid      INT          NOT NULL,
  attribname  VARCHAR(64)  NOT NULL,
  attribvalue VARCHAR(255) NULL,
  PRIMARY KEY (userid, attribname)
);

-- Named settings of a customer ("currency").
CREATE TABLE CustomerAttribute (
  customerid  INT          NOT NULL,
  attribname  VARCHAR(64)  NOT NULL,
  attribvalue VARCHAR(255) NULL,
  PRIMARY KEY (customerid, attribname)
);

-- A call server and the directory that holds its users; customerid is the
-- customer (usually a subscriber) that runs it.
CREATE TABLE VirtualCallServer (
  id                   INT          NOT NULL PRIMARY KEY,
  customerid           INT          NOT NULL,
  HostName             VARCHAR(128) NULL,
  primaryLDAPServer    VARCHAR(128) NULL,
  primaryLDAPUser      VARCHAR(255) NULL,
  primaryLDAPPassword  VARCHAR(128) NULL,
  voicemailFTPPassword VARCHAR(128) NULL,
  KEY (customerid)
);

-- A portal (web server name) and the call server behind it; emailsourceaddr
-- is the host part of the portal's sender address.
CREATE TABLE VirtualHost (
  id                  INT          NOT NULL PRIMARY KEY,
  serverName          VARCHAR(128) NOT NULL,
  VirtualCallServerid INT          NOT NULL,
  emailsourceaddr     VARCHAR(128) NULL,
  KEY (serverName)
);

-- Rights granted to one user (guid: the contact id or a directory guid).
CREATE TABLE CustomerUserRight (
  customerid INT         NOT NULL,
  guid       VARCHAR(64) NOT NULL,
  rightid    INT         NOT NULL,
  PRIMARY KEY (customerid, guid, rightid)
);

-- Rights granted to every user of a customer.
CREATE TABLE CustomerRights (
  customerid INT NOT NULL,
  rightsid   INT NOT NULL,
  PRIMARY KEY (customerid, rightsid)
);

-- Call-log queues a contact may supervise.
CREATE TABLE CallLogPermissions (
  contactid  INT NOT NULL,
  customerid INT NOT NULL,
  queue      INT NOT NULL,
  PRIMARY KEY (contactid, customerid, queue)
);
