#include "loyalty/card_reads.h"
namespace cassasync::loyalty {
void Leggi_Tessere_Cassa(frame::Context&, int) {}  // STUB: not built yet
}
