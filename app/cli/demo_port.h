// The COM port part of "krlbay demo": an application opens an adapter's COM port, sets its line,
// and sees the modem lines of the device at the far end.
#pragma once

#include <ostream>
#include <string_view>

namespace app {

class Session;

// Runs on the adapter named `adapter`, whose COM port is `com` ("COM5").
void port_tour(Session& session, std::string_view adapter, const std::string& com, std::ostream& out);

}  // namespace app
