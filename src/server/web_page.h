// The controller page, embedded in the module at build time.
#pragma once

#include <string_view>

namespace velto::server {

/// The bytes of the controller page (src/web/controller.html as it was at build time).
std::string_view controller_page();

}  // namespace velto::server
