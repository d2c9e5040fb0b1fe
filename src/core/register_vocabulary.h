// What both sides of a register's database agree on: the values the register's own
// software writes and the service reads back, and the other way round. The service's
// steps and the register side (src/register_side/) both take them from here, so that
// the two can never drift apart. Constants only; each is written exactly as it is
// stored in the register's tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cassasync::core {

// Semafori.Flag1, the first row's: who may write the register's tables now. The
// register's software sets 0 -> 1 and back; the service sets 0 or 2 -> 2 and back, so
// neither ever overwrites the other's hold.
enum class Semaforo { Libero = 0, Cassa = 1, Servizio = 2 };

// movimenti.bflag3: a receipt line that counts (any other value is voided).
inline constexpr const char* kLineActive = "S";
// movimenti.aggiornogiacenza: a line the service has not taken yet, and one it took.
inline constexpr const char* kLineWaiting = "N";
inline constexpr const char* kLineTaken = "S";
// movimenti.bflag1 as the register writes it on a sale.
inline constexpr const char* kLineSale = "V";
// movimenti.tipobattuta: the line was scanned, or keyed in.
inline constexpr const char* kLineScanned = "S";
inline constexpr const char* kLineKeyed = "T";

// movimenti.tiporecord: an article line, and the loyalty points earned or redeemed on
// the receipt (quantita holds the points).
inline constexpr std::int16_t kArticleLine = 1;
inline constexpr std::int16_t kPointsEarned = 23;
inline constexpr std::int16_t kPointsRedeemed = 24;

// codean.flagagg and clienti.flagagg: a barcode or customer created or changed at the
// register, waiting for the service; the service marks it dealt with.
inline constexpr const char* kChangedAtRegister = "A";
inline constexpr const char* kChangeTaken = "T";

// fatte.fl1ts: an invoice issued at the register, to be handed over to the back office.
inline constexpr const char* kInvoiceToHandOver = "F";
// fatte.codtipdoc of an invoice.
inline constexpr const char* kInvoiceType = "FT";

// cartetxrx.flag: a card reading waiting for the service, and one it took.
inline constexpr std::int64_t kReadingPending = 1;
inline constexpr std::int64_t kReadingTaken = 2;

// Sequence numbers are 16-bit at the register (cartetxrx and tessere progressivo).
inline constexpr std::int64_t kMaxSequence = 32767;
// Card numbers and barcodes are kept 13 characters wide at the register.
inline constexpr std::size_t kCardNumberLength = 13;
inline constexpr std::size_t kBarcodeLength = 13;

// The register asks the back office to close its day by leaving this file on its own
// host: "\\" + host + kCloseRequestFolder + kCloseRequestFile.
inline constexpr const char* kCloseRequestFolder = "\\cash\\";
inline constexpr const char* kCloseRequestFile = "cisonodati.txt";

}  // namespace cassasync::core
