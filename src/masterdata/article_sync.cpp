#include "masterdata/article_sync.h"
namespace cassasync::masterdata {
void Aggiorna_Articoli(frame::Context&, int) {}  // STUB: not built yet
}
