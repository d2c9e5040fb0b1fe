// The process-wide values of the service, in one object passed by reference to every
// step: the outside world (paths, clock, pinger, process starter), the operation log,
// the status board, the open databases, the settings loaded by start-up and the
// per-register state of the processing cycle. Created by the program's main, lives
// until the program ends. Start-up writes the settings; afterwards only the worker
// thread reads and writes the rest (the status board, the health model and the stop flag
// are the only members touched from other threads, and all are thread-safe).
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "data/connections.h"
#include "frame/health.h"
#include "frame/operation_log.h"
#include "frame/status_board.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"

namespace cassasync::frame {

// Settings loaded once by start-up and only read afterwards.
struct Settings {
    int Codice_Utente = 1;
    char Lettera_Unita = 'C';
    std::string Percorso_Societa;
    std::string Cartella_Dati;
    std::string Percorso_Dati;      // empty until start-up found the company record
    std::string Percorso_Vendite;
    int Numero_Casse = 0;           // as configured; the cycle serves at most ten
    std::string aaa = "0";
    std::string bbb = "0";
    std::string escludocaselle;
    int Punto_Vendita = 0;
};

// The fixed Windows paths of the back office's own files.
inline constexpr const char* kLogFolder = "C:\\tarvi\\bkp\\";
inline constexpr const char* kLoyaltyPath = "C:\\tarvi\\fidel.mdb";  // Percorso_Fidel
inline constexpr const char* kLoaderPath = "c:\\tarvi\\qvo_art.exe";

// What a long transfer does next, between two batches.
enum class BatchTurn {
    go_on,               // the semaphore was kept: what the transfer holds in memory is current
    resumed_after_turn,  // the register's software had its turn: read the register again
    wait_next_cycle,     // the register's share of the cycle is used up
};

// Where the backups go and how many are kept (the program's --backup-dir, --keep-backups).
struct BackupOptions {
    std::filesystem::path folder;  // empty: ROOT/C/tarvi/bkp/copie
    int keep = 14;
};

struct Context {
    Context(const platform::PathMap& path_map, platform::Clock& wall_clock,
            platform::Pinger& echo, platform::ProcessStarter& process_starter)
        : paths(path_map), clock(wall_clock), pinger(echo), starter(process_starter),
          log(wall_clock), databases(path_map, [this](const std::string& line) { log.progress(line); }) {
        // Sized for every register from the start, so that a cycle after a failed
        // start-up still finds a flag for register 1.
        Casse_Elaborate.assign(kMaxRegisters + 1, false);
    }
    // The databases' notices go to this context's own log.
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    const platform::PathMap& paths;
    platform::Clock& clock;
    platform::Pinger& pinger;
    platform::ProcessStarter& starter;

    OperationLog log;
    StatusBoard board;
    Health health;  // thread-safe, like the board
    data::Connections databases;

    Settings settings;
    std::array<std::string, kMaxRegisters + 1> Percorsi_Casse;  // index 0 unused
    std::vector<bool> Casse_Elaborate;
    int Contatore_Cicli = 0;

    BackupOptions backups;
    // The day serial of the last close request carried out (0: none since start), and
    // of the last backup tried after one: a failed copy is tried once a day, not per cycle.
    long last_close_day = 0;
    long backup_tried_day = 0;

    // Registers actually served: Numero_Casse bounded to the ten the system has.
    int served_registers() const {
        int n = settings.Numero_Casse;
        return n < 0 ? 0 : (n > kMaxRegisters ? kMaxRegisters : n);
    }

    // Set by the exit button or a signal; the worker finishes the step under way.
    std::atomic<bool> stop_requested{false};

    // Set by the cycle while it holds a register's semaphore; empty otherwise. A long
    // transfer calls it before each batch, when it holds nothing at the register: it may
    // let the register's own software in, or say that the rest waits for the next cycle.
    std::function<BatchTurn()> between_batches;
};

}  // namespace cassasync::frame
