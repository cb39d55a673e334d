#include "fax/fax_status.h"

#include "platform/string_resource.h"

namespace tv {

std::string FaxStatusText(int status) {
  if (status < fsInitializing || status > fsGotTransmittingId) return {};
  return ProgramStrings().GetString(static_cast<std::uint16_t>(13000 + status));
}

}  // namespace tv
