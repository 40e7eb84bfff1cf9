#include "history/history_store.h"

namespace pellan::history {

// This build has no SQLite library; the history is then reported as unusable, once.
std::unique_ptr<HistoryStore> OpenSqliteStore(const std::filesystem::path&, std::string& error) {
    error = "this program was built without SQLite";
    return nullptr;
}

}  // namespace pellan::history
