-- Main database (dati.mdb of the back office): settings, the register table,
-- customers and loyalty cards, articles and barcodes, VAT codes, departments,
-- document counters, invoices, and the ledger of rows taken from the registers.
--
-- Dates and times are REAL day serials (days since 30 December 1899, the fraction
-- being the time of day) and have no default: a missing date stays NULL.

-- Service switches.
CREATE TABLE IF NOT EXISTS automa (
  codice         INTEGER DEFAULT 0,
  aaa            TEXT,
  bbb            TEXT,
  escludocaselle TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS automa_codice ON automa (codice);

-- User record: number of registers served.
CREATE TABLE IF NOT EXISTS utenti (
  codutente   INTEGER DEFAULT 0,
  descrizione TEXT,
  nrpos       INTEGER DEFAULT 0,
  artico      TEXT,
  chiusura    TEXT,
  fid_rep     TEXT,
  Flag_CF     TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS utenti_codutente ON utenti (codutente);

-- Points of sale; proprio = '1' marks the shop's own.
CREATE TABLE IF NOT EXISTS pv (
  codice      INTEGER DEFAULT 0,
  descrizione TEXT,
  proprio     TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS pv_codice ON pv (codice);

-- Register table: where each register's database is.
CREATE TABLE IF NOT EXISTS casse (
  numero      INTEGER DEFAULT 0,
  descrizione TEXT,
  percorso    TEXT,
  percorsoint TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS casse_numero ON casse (numero);

-- Customers and their loyalty cards. A card number is not unique here.
CREATE TABLE IF NOT EXISTS clienti (
  codcliente  INTEGER DEFAULT 0,
  cognome     TEXT,
  dsccliente  TEXT,
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
  note        TEXT,
  stato       TEXT,
  tessera     TEXT,
  codLis      INTEGER DEFAULT 0,
  fprivacy    TEXT,
  stat_t      TEXT,
  flagagg     TEXT,
  totcard     REAL DEFAULT 0,
  punticum    INTEGER DEFAULT 0,
  puntisca    INTEGER DEFAULT 0,
  puntisal    INTEGER DEFAULT 0
);
-- Text keys are searched without regard to letter case (COLLATE NOCASE in the
-- lookups), so their indexes are NOCASE indexes; a card number is looked up with and
-- without its trailing blanks in one seek.
CREATE INDEX IF NOT EXISTS clienti_tessera ON clienti (tessera COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS clienti_codcliente ON clienti (codcliente);
CREATE INDEX IF NOT EXISTS clienti_stat_t ON clienti (stat_t COLLATE NOCASE);

-- Journal of the card readings collected from all registers.
CREATE TABLE IF NOT EXISTS cartetxrx (
  tessera      TEXT,
  dcum         INTEGER DEFAULT 0,
  dutil        INTEGER DEFAULT 0,
  data         REAL,
  ora          REAL,
  cassa        INTEGER DEFAULT 0,
  puntovendita INTEGER DEFAULT 0,
  stato        TEXT
);

-- Queue of card records to send, one row per card and register.
-- progressivo_inviato holds the sequence number of the register record while a
-- send is under way, so that a send cut short is not repeated.
CREATE TABLE IF NOT EXISTS cartetx (
  tessera             TEXT,
  cassa               INTEGER DEFAULT 0,
  data                REAL,
  ora                 REAL,
  progressivo_inviato INTEGER DEFAULT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS cartetx_tessera_cassa ON cartetx (tessera COLLATE NOCASE, cassa);
CREATE INDEX IF NOT EXISTS cartetx_cassa ON cartetx (cassa);

-- Barcodes of the articles; one article can have several.
CREATE TABLE IF NOT EXISTS codean (
  eanare     TEXT,
  codare     INTEGER DEFAULT 0,
  colare     TEXT,
  tagliare   TEXT,
  einv       REAL DEFAULT 0,
  eacq       REAL DEFAULT 0,
  eres       REAL DEFAULT 0,
  even       REAL DEFAULT 0,
  egia       REAL DEFAULT 0,
  codlis     INTEGER DEFAULT 0,
  desart     TEXT,
  desfor     TEXT,
  flagean    TEXT,
  neti       TEXT,
  codafo     TEXT,
  qtaord     REAL DEFAULT 0,
  pezzix     INTEGER DEFAULT 0,
  prezzo     REAL DEFAULT 0,
  prezzox    REAL DEFAULT 0,
  stato      TEXT,
  aggi       TEXT,
  unita      TEXT,
  soglia     TEXT,
  omaggio    TEXT,
  puntif     TEXT,
  scoval     TEXT,
  codpro     TEXT,
  mix        TEXT,
  sconto     TEXT,
  flagagg    TEXT,
  dataagg    REAL,
  primasecon TEXT
);
-- A barcode is matched by find-first, so it is indexed but not unique. Barcodes and
-- descriptions are searched without regard to letter case: NOCASE indexes.
CREATE INDEX IF NOT EXISTS keyean ON codean (eanare COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS codean_codare ON codean (codare);
-- Price and weight barcodes are matched on their leading 7 or 12 characters.
CREATE INDEX IF NOT EXISTS codean_eanare7 ON codean (substr(eanare, 1, 7) COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS codean_eanare12 ON codean (substr(eanare, 1, 12) COLLATE NOCASE);
-- A line without barcode is matched by the first 25 characters of the description.
CREATE INDEX IF NOT EXISTS codean_desart25 ON codean (trim(substr(desart, 1, 25)) COLLATE NOCASE);

-- Articles and price list, one row per article code.
CREATE TABLE IF NOT EXISTS listi01 (
  codart    INTEGER DEFAULT 0,
  desart    TEXT,
  umart     TEXT,
  ricart    REAL DEFAULT 0,
  przart    REAL DEFAULT 0,
  przpub    REAL DEFAULT 0,
  imbart    REAL DEFAULT 0,
  ivart     INTEGER DEFAULT 0,
  cobart    REAL DEFAULT 0,
  sc1art    REAL DEFAULT 0,
  sc2art    REAL DEFAULT 0,
  sc3art    REAL DEFAULT 0,
  cofart    REAL DEFAULT 0,
  cosiva    REAL DEFAULT 0,
  fl1art    TEXT,
  fl2art    TEXT,
  fl3art    TEXT,
  desfor    TEXT,
  desgru    TEXT,
  dessot    TEXT,
  data1     REAL,
  data2     REAL,
  colli     INTEGER DEFAULT 0,
  tipges    TEXT,
  tipart    TEXT,
  annoco    INTEGER DEFAULT 0,
  qinv      REAL DEFAULT 0,
  qacq      REAL DEFAULT 0,
  qres      REAL DEFAULT 0,
  qven      REAL DEFAULT 0,
  qgia      REAL DEFAULT 0,
  datreg    REAL,
  colore    INTEGER DEFAULT 0,
  codafo    TEXT,
  cosmp     REAL DEFAULT 0,
  scopro    REAL DEFAULT 0,
  przpro    REAL DEFAULT 0,
  scosal    REAL DEFAULT 0,
  przsal    REAL DEFAULT 0,
  valgia    REAL DEFAULT 0,
  q1        REAL DEFAULT 0,
  sq1       REAL DEFAULT 0,
  q2        REAL DEFAULT 0,
  sq2       REAL DEFAULT 0,
  scomi     REAL DEFAULT 0,
  prztot    REAL DEFAULT 0,
  desrep    TEXT,
  descas    TEXT,
  codrep    INTEGER DEFAULT 0,
  dultord   REAL,
  qultord   REAL DEFAULT 0,
  dultven   REAL,
  qultven   REAL DEFAULT 0,
  dultora   REAL,
  dultcar   REAL,
  qultcar   REAL DEFAULT 0,
  scomag    REAL DEFAULT 0,
  marg      REAL DEFAULT 0,
  cosoff    REAL DEFAULT 0,
  margof    REAL DEFAULT 0,
  quaco     REAL DEFAULT 0,
  codgru    INTEGER DEFAULT 0,
  codfor    INTEGER DEFAULT 0,
  datagg    REAL,
  taglia    TEXT,
  codpro    INTEGER DEFAULT 0,
  numpro    INTEGER DEFAULT 0,
  stapro    TEXT,
  sel       TEXT,
  note      TEXT,
  flag_peso TEXT,
  umquaco   TEXT,
  datasca   REAL
);
CREATE UNIQUE INDEX IF NOT EXISTS "primary" ON listi01 (codart);

-- VAT codes and their rates.
CREATE TABLE IF NOT EXISTS aliquote (
  codali    TEXT,
  perce     REAL DEFAULT 0,
  dscaliquo TEXT,
  posiva    INTEGER DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS codali ON aliquote (codali COLLATE NOCASE);

-- Departments: VAT code and cost margin of unlisted articles.
CREATE TABLE IF NOT EXISTS reparti (
  reparto     INTEGER DEFAULT 0,
  descrizione TEXT,
  iva         INTEGER DEFAULT 0,
  fmarg       TEXT,
  marg        REAL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS reparto ON reparti (reparto);

-- Last document number per user, year and document type.
CREATE TABLE IF NOT EXISTS numeri (
  codutente   INTEGER DEFAULT 0,
  anno        INTEGER DEFAULT 0,
  tipo        TEXT,
  descrizione TEXT,
  ultnum      INTEGER DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS numeri_chiave ON numeri (codutente, anno, tipo);

-- Invoice headers.
CREATE TABLE IF NOT EXISTS fatte (
  codutente          INTEGER DEFAULT 0,
  anno               INTEGER DEFAULT 0,
  numero             INTEGER DEFAULT 0,
  codtipdoc          TEXT,
  dataor             REAL,
  ora                REAL,
  cliente            INTEGER DEFAULT 0,
  dsccliente         TEXT,
  codsede            INTEGER DEFAULT 0,
  dscsede            TEXT,
  codlis             INTEGER DEFAULT 0,
  fl1ts              TEXT,
  regis              TEXT,
  commesso           INTEGER DEFAULT 0,
  annofa             INTEGER DEFAULT 0,
  numfa              INTEGER DEFAULT 0,
  datafa             REAL,
  causa              TEXT,
  spese              REAL DEFAULT 0,
  bolli              REAL DEFAULT 0,
  agente             INTEGER DEFAULT 0,
  codPagamento       INTEGER DEFAULT 0,
  tipodoc            TEXT,
  dataUs             REAL,
  oraUs              REAL,
  aspetto            TEXT,
  porto              TEXT,
  acura              TEXT,
  colli              INTEGER DEFAULT 0,
  peso               REAL DEFAULT 0,
  note               TEXT,
  omaggio            INTEGER DEFAULT 0,
  totale             REAL DEFAULT 0,
  totimp             REAL DEFAULT 0,
  totiva             REAL DEFAULT 0,
  imp01 REAL DEFAULT 0, iva01 TEXT, ims01 REAL DEFAULT 0,
  imp02 REAL DEFAULT 0, iva02 TEXT, ims02 REAL DEFAULT 0,
  imp03 REAL DEFAULT 0, iva03 TEXT, ims03 REAL DEFAULT 0,
  imp04 REAL DEFAULT 0, iva04 TEXT, ims04 REAL DEFAULT 0,
  imp05 REAL DEFAULT 0, iva05 TEXT, ims05 REAL DEFAULT 0,
  imp06 REAL DEFAULT 0, iva06 TEXT, ims06 REAL DEFAULT 0,
  imp07 REAL DEFAULT 0, iva07 TEXT, ims07 REAL DEFAULT 0,
  fatturadascontrino TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS fatte_chiave ON fatte (numero, anno, codtipdoc);

-- Invoice rows.
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
  colli       REAL DEFAULT 0,
  codafo      TEXT,
  scopro      INTEGER DEFAULT 0,
  przpro      REAL DEFAULT 0,
  sconto      REAL DEFAULT 0,
  commesso    INTEGER DEFAULT 0,
  dscColore   TEXT,
  taglia      TEXT,
  desfor      TEXT,
  desgru      TEXT,
  annobo      INTEGER DEFAULT 0,
  numbo       INTEGER DEFAULT 0,
  databo      REAL,
  provvi      REAL DEFAULT 0,
  codrep      INTEGER DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS fatmo_chiave ON fatmo (bnumer, bannoc, codtipdoc, bns);

-- Register rows already taken into the back office, by register, table and
-- register row key; written in the same commit as their central effects. The digest
-- of a row's values as taken, for rows the register may change again.
CREATE TABLE IF NOT EXISTS registro_trasferimenti (
  cassa    INTEGER NOT NULL,
  tabella  TEXT NOT NULL,
  chiave   INTEGER NOT NULL,
  impronta INTEGER,
  PRIMARY KEY (cassa, tabella, chiave)
) WITHOUT ROWID;

-- Register rows that could not be taken: each waits at the register, unmarked, and is
-- tried again by every run until it is taken, when it leaves this table. By register,
-- step ("scontrini", ...) and register row key; the digest of the row as last tried, the
-- cause of its last failure, first and last time tried (day serials with the time as
-- fraction), the tries, and the day its failure was last written to the log (NULL: write
-- it at the next failure).
CREATE TABLE IF NOT EXISTS righe_trattenute (
  cassa     INTEGER NOT NULL,
  passo     TEXT NOT NULL,
  chiave    INTEGER NOT NULL,
  impronta  INTEGER,
  causa     TEXT NOT NULL,
  primo     REAL NOT NULL,
  ultimo    REAL NOT NULL,
  tentativi INTEGER NOT NULL DEFAULT 1,
  giorno_log INTEGER,
  PRIMARY KEY (cassa, passo, chiave)
) WITHOUT ROWID;
