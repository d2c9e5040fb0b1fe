-- Company database (tarvi.mdb): the company register. Its only job is to say
-- where the main database of each company lives.

-- Company record: `database` is the full path of the company's main database.
CREATE TABLE IF NOT EXISTS "società" (
  codute      INTEGER DEFAULT 0,
  descrizione TEXT,
  "database"  TEXT
);
CREATE UNIQUE INDEX IF NOT EXISTS societa_codute ON "società" (codute);
