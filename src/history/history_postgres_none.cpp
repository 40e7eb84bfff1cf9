#include "history/history_store.h"

namespace pellan::history {

// This build has no libpq; a PostgreSQL address is then reported as unusable, once.
std::unique_ptr<HistoryStore> OpenPostgresStore(const std::string&, std::string& error) {
    error = "this program was built without PostgreSQL";
    return nullptr;
}

}  // namespace pellan::history
