-- A demo installation: one vessel, a company, a user with a group, and one
-- online, writable storage host. scripts/store replaces @BLOBDIR@ with a
-- directory inside the store. Ids below 1000 are the demo's; tests use their
-- own, higher ids.

INSERT INTO NS_VESSEL (VES_VESSELID, VES_NAME, COM_COMPANYID, VES_INSTALLEDVERSION, VES_DBVERSION)
  VALUES (7, 'MV Demo', 1, '1.0', '1.0');

INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (1, 'Demo Shipping');

INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, VES_VESSELID, USR_NAME, USR_EMAIL, USR_ROWSTATUS,
                     USR_ADMINUSER, USR_VESSELUSER, USR_CREATED_AT, USR_UPDATED_AT)
  VALUES (1, 1, 7, 'Demo User', 'demo@example.invalid', 0, 0, 1,
          TIMESTAMP '2026-01-01 00:00:00', TIMESTAMP '2026-01-01 00:00:00');

INSERT INTO NS_USERGROUPMEMBER (USG_USERGROUPID, USR_USERID) VALUES (1, 1);

INSERT INTO NS_FILESTORAGEHOST (FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, FSH_ONLINE,
                                FSH_WRITABLE, FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY)
  VALUES (1, 'Demo blob store', '@BLOBDIR@', 1, 1, 0, 0, 0);

-- Later rows from the sequences do not collide with the demo's ids.
SELECT setval('NS_VESSEL_SEQ', 1000);
SELECT setval('NS_COMPANY_SEQ', 1000);
SELECT setval('NS_USER_SEQ', 1000);
SELECT setval('NS_FILESTORAGEHOST_SEQ', 1000);
