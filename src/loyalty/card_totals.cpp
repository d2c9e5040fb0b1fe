#include "loyalty/card_totals.h"
namespace cassasync::loyalty {
void Ricevi_Totali_Tessere(frame::Context&, int) {}  // STUB: not built yet
void Invia_Totali_Tessere(frame::Context&, int) {}   // STUB: not built yet
void Consolida_Stato_Clienti(frame::Context&) {}     // STUB: not built yet
}
