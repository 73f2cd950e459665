-- Sample portal data. The tests rely on these rows; tests/servers/README.md
-- lists what each web user is for.

INSERT INTO Customer (id, SubscriberId, CustomerName, CustomerType, ThemeId) VALUES
  (1,  0, 'Korvelund Telecom', 1, 1),
  (10, 1, 'Archer Plumbing',   0, 2),
  (20, 1, 'Baker Bakery',      0, 3),
  (30, 0, 'Clark Consulting',  0, 4);

INSERT INTO CustomerContact (username, id, customerid) VALUES
  ('sam',   1,    1),
  ('alice', 100,  10),
  ('bob',   NULL, 20),
  ('carol', 300,  30);

INSERT INTO CustomerContactAttrib (userid, attribname, attribvalue) VALUES
  (1,   'timezone',      'America/New_York'),
  (100, 'timezone',      'Europe/London'),
  (100, 'reportmask',    '255'),
  (100, 'superqueue',    '1'),
  (100, 'administrator', '1');

INSERT INTO CustomerAttribute (customerid, attribname, attribvalue) VALUES
  (1,  'currency', NULL),
  (10, 'currency', '$');

INSERT INTO VirtualCallServer (id, customerid, HostName, primaryLDAPServer,
    primaryLDAPUser, primaryLDAPPassword, voicemailFTPPassword) VALUES
  (1, 1,  'callserver1', '127.0.0.1', 'cn=admin,o=Korvelund', 'adminsecret', 'ftpsecret'),
  (2, 30, 'callserver2', '127.0.0.1', 'cn=admin,o=Korvelund', 'adminsecret', 'ftpsecret2');

INSERT INTO VirtualHost (id, serverName, VirtualCallServerid, emailsourceaddr) VALUES
  (1, 'Lumera',      1, 'korvelund.example'),
  (2, 'OtherPortal', 2, 'clark.example');

INSERT INTO CustomerUserRight (customerid, guid, rightid) VALUES
  (10, '100', 3),
  (10, '100', 7);

INSERT INTO CustomerRights (customerid, rightsid) VALUES
  (10, 5);

INSERT INTO CallLogPermissions (contactid, customerid, queue) VALUES
  (100, 10, 1);
