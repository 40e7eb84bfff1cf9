#include "line/modem_manager.h"

namespace pellan {

// Windows has no modem manager of its own that probes the stick: the connection manager's
// service is what the update stops there.
std::unique_ptr<ModemManagerInhibitor> MakeModemManagerInhibitor(const platform::Env&) {
    return nullptr;
}

}  // namespace pellan
