-- Register database (dati.mdb on each cash register): the register's own working
-- data, shared with the register's software and reached over the network.
--
-- Dates and times are REAL day serials (days since 30 December 1899, the fraction
-- being the time of day) and have no default, except cartetxrx.bdat_scr, which the
-- register writes as text. Tables the back office takes rows from carry an id of
-- their own, so that a row taken can be named again after a crash.

-- One-row lock between the register's software and the service.
CREATE TABLE IF NOT EXISTS Semafori (
  Flag1 INTEGER DEFAULT 0
);

-- Card readings made at the register; flag 1 = pending, 2 = taken.
-- bdat_scr: characters 1-10 the date, 11-20 the time of the reading.
CREATE TABLE IF NOT EXISTS cartetxrx (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  progressivo INTEGER DEFAULT 0,
  tessera     TEXT,
  dcum        INTEGER DEFAULT 0,
  dutil       INTEGER DEFAULT 0,
  bdat_scr    TEXT,
  flag        INTEGER DEFAULT 0,
  bdat_lett   REAL
);
CREATE INDEX IF NOT EXISTS cartetxrx_flag ON cartetxrx (flag, progressivo);

-- Card records sent by the back office, numbered by progressivo.
CREATE TABLE IF NOT EXISTS tessere (
  progressivo INTEGER DEFAULT 0,
  flag        TEXT,
  bdat_scr    REAL,
  azione      TEXT,
  codcliente  INTEGER DEFAULT 0,
  cognome     TEXT,
  nome        TEXT,
  sconto      REAL DEFAULT 0,
  sel         TEXT,
  indirizzo   TEXT,
  cap         TEXT,
  citta       TEXT,
  provincia   TEXT,
  codfis      TEXT,
  piva        TEXT,
  telefono1   TEXT,
  telefono2   TEXT,
  fax         TEXT,
  email       TEXT,
  stato       TEXT,
  tessera     TEXT,
  puntiaccum  INTEGER DEFAULT 0,
  puntiutil   INTEGER DEFAULT 0,
  punticalc   INTEGER DEFAULT 0,
  puntisal    INTEGER DEFAULT 0,
  codLis      INTEGER DEFAULT 0
);
CREATE INDEX IF NOT EXISTS tessere_progressivo ON tessere (progressivo);

-- The register's customer and card copy; flagagg 'A' = changed here, 'T' = taken.
CREATE TABLE IF NOT EXISTS clienti (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  codcliente INTEGER DEFAULT 0,
  cognome    TEXT,
  nome       TEXT,
  sconto     REAL DEFAULT 0,
  sel        TEXT,
  indirizzo  TEXT,
  cap        TEXT,
  citta      TEXT,
  provincia  TEXT,
  codfis     TEXT,
  piva       TEXT,
  telefono1  TEXT,
  telefono2  TEXT,
  fax        TEXT,
  note       TEXT,
  stato      TEXT,
  tessera    TEXT,
  codLis     INTEGER DEFAULT 0,
  totcard    REAL DEFAULT 0,
  flagagg    TEXT
);
CREATE INDEX IF NOT EXISTS clienti_flagagg ON clienti (flagagg);
CREATE INDEX IF NOT EXISTS clienti_tessera ON clienti (tessera);
CREATE INDEX IF NOT EXISTS clienti_codcliente ON clienti (codcliente);

-- The register's barcode copy; flagagg 'A' = changed here, 'T' = taken.
CREATE TABLE IF NOT EXISTS codean (
  id      INTEGER PRIMARY KEY AUTOINCREMENT,
  eanare  TEXT,
  codare  INTEGER DEFAULT 0,
  desart  TEXT,
  przpub  REAL DEFAULT 0,
  ivart   INTEGER DEFAULT 0,
  codrep  INTEGER DEFAULT 0,
  tipart  TEXT,
  flagagg TEXT
);
CREATE INDEX IF NOT EXISTS codean_flagagg ON codean (flagagg);
CREATE INDEX IF NOT EXISTS keyean ON codean (eanare);

-- Receipt lines; aggiornogiacenza 'N' = waiting, 'S' = imported.
CREATE TABLE IF NOT EXISTS movimenti (
  id               INTEGER PRIMARY KEY AUTOINCREMENT,
  bflag3           TEXT,
  aggiornogiacenza TEXT,
  bdator           REAL,
  bora             REAL,
  bnumer           INTEGER DEFAULT 0,
  eanrig           TEXT,
  descrizione      TEXT,
  quantita         REAL DEFAULT 0,
  prezzo           REAL DEFAULT 0,
  totrig           REAL DEFAULT 0,
  sconto           REAL DEFAULT 0,
  codrep           INTEGER DEFAULT 0,
  tiporecord       INTEGER DEFAULT 0,
  operatore        INTEGER DEFAULT 0,
  numcassa         INTEGER DEFAULT 0,
  bflag1           TEXT,
  tessera          TEXT,
  descli           TEXT,
  pivacli          TEXT,
  codfis           TEXT,
  tipobattuta      TEXT
);
CREATE INDEX IF NOT EXISTS movimenti_attesa ON movimenti (bflag3, aggiornogiacenza, bdator, bora);

-- Invoice headers issued at the register; fl1ts 'F' = to hand over.
CREATE TABLE IF NOT EXISTS fatte (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  codutente    INTEGER DEFAULT 0,
  anno         INTEGER DEFAULT 0,
  numero       INTEGER DEFAULT 0,
  codtipdoc    TEXT,
  dataor       REAL,
  ora          REAL,
  cliente      INTEGER DEFAULT 0,
  dsccliente   TEXT,
  codsede      INTEGER DEFAULT 0,
  dscsede      TEXT,
  codlis       INTEGER DEFAULT 0,
  fl1ts        TEXT,
  regis        TEXT,
  commesso     INTEGER DEFAULT 0,
  annofa       INTEGER DEFAULT 0,
  numfa        INTEGER DEFAULT 0,
  datafa       REAL,
  causa        TEXT,
  spese        REAL DEFAULT 0,
  bolli        REAL DEFAULT 0,
  agente       INTEGER DEFAULT 0,
  codpagamento INTEGER DEFAULT 0,
  tipodoc      TEXT,
  oraUs        REAL,
  aspetto      TEXT,
  porto        TEXT,
  acura        TEXT,
  totale       REAL DEFAULT 0,
  totimp       REAL DEFAULT 0,
  totiva       REAL DEFAULT 0,
  imp01 REAL DEFAULT 0, iva01 TEXT, ims01 REAL DEFAULT 0,
  imp02 REAL DEFAULT 0, iva02 TEXT, ims02 REAL DEFAULT 0,
  imp03 REAL DEFAULT 0, iva03 TEXT, ims03 REAL DEFAULT 0,
  imp04 REAL DEFAULT 0, iva04 TEXT, ims04 REAL DEFAULT 0,
  imp05 REAL DEFAULT 0, iva05 TEXT, ims05 REAL DEFAULT 0,
  imp06 REAL DEFAULT 0, iva06 TEXT, ims06 REAL DEFAULT 0,
  imp07 REAL DEFAULT 0, iva07 TEXT, ims07 REAL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS fatte_fl1ts ON fatte (fl1ts);

-- Invoice rows issued at the register.
CREATE TABLE IF NOT EXISTS fatmo (
  codute      INTEGER DEFAULT 0,
  bannoc      INTEGER DEFAULT 0,
  bnumer      INTEGER DEFAULT 0,
  codtipdoc   TEXT,
  bns         INTEGER DEFAULT 0,
  bdator      REAL,
  articoli    INTEGER DEFAULT 0,
  unitam      TEXT,
  imballo     REAL DEFAULT 0,
  costof      REAL DEFAULT 0,
  cosmp       REAL DEFAULT 0,
  quantita    REAL DEFAULT 0,
  bflag1      TEXT,
  bflag2      TEXT,
  tipmov      TEXT,
  descrizione TEXT,
  iva         TEXT,
  prezzo      REAL DEFAULT 0,
  totrig      REAL DEFAULT 0,
  totaleivato REAL DEFAULT 0,
  eanrig      TEXT,
  codafo      TEXT,
  scopro      INTEGER DEFAULT 0,
  przpro      REAL DEFAULT 0,
  sconto      REAL DEFAULT 0,
  commesso    INTEGER DEFAULT 0,
  dsccolore   TEXT,
  taglia      TEXT,
  desfor      TEXT,
  desgru      TEXT,
  annobo      INTEGER DEFAULT 0,
  numbo       INTEGER DEFAULT 0,
  databo      REAL,
  provvi      REAL DEFAULT 0,
  codrep      INTEGER DEFAULT 0
);
CREATE INDEX IF NOT EXISTS fatmo_chiave ON fatmo (bnumer, bannoc, codtipdoc, bns);
