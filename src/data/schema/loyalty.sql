-- Loyalty database (fidel.mdb): the journal of loyalty-card point movements
-- booked from the registers' receipts.
--
-- Dates and times are REAL day serials (days since 30 December 1899, the fraction
-- being the time of day).

-- Card point movements: 23 points earned, 24 points redeemed.
CREATE TABLE IF NOT EXISTS movtessere (
  tipo     INTEGER DEFAULT 0,
  data     REAL,
  ora      REAL,
  tessera  TEXT,
  numcassa INTEGER DEFAULT 0,
  numsco   INTEGER DEFAULT 0,
  punti    INTEGER DEFAULT 0,
  descli   TEXT
);
-- Not unique: the duplicate test compares the day number with a stored receipt
-- date that may carry a time, so the table must accept what the test lets through.
CREATE INDEX IF NOT EXISTS movtessere_chiave ON movtessere (tessera COLLATE NOCASE, data, numsco, numcassa, tipo);
