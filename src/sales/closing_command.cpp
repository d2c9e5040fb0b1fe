#include "sales/closing_command.h"
namespace cassasync::sales {
void Controllo_Chiusura(frame::Context&, int, const std::string&, long) {}  // STUB: not built yet
}
