// The one-row `Semafori` table in a register's database, shared with the register's own
// software: `Flag1` 0 = free, 1 = held by the register, 2 = held by the service. The
// service never waits for it: it skips the register or goes ahead.
#pragma once

#include "frame/context.h"

namespace cassasync::registers {

enum class Semaforo { Libero = 0, Cassa = 1, Servizio = 2 };

// 1 when Flag1 is neither 0 nor 2 (held by the register), else 0. An empty table logs
// "Semaforo cassa N non inizializzato!" and reports free.
int Leggi_Semaforo(frame::Context& ctx, int n);
// Flag1 0 or 2 becomes 2; any other value is left alone.
void Prendi_Semaforo(frame::Context& ctx, int n);
// Flag1 0 or 2 becomes 0; any other value is left alone; errors end it silently.
void Rilascia_Semaforo(frame::Context& ctx, int n);

}  // namespace cassasync::registers
