// The service commands: -install and -uninstall of a Windows service, and -service, the entry
// the service control manager starts. Each prints straight to standard output and returns the
// process exit code.
#pragma once

#include "platform/service.h"

namespace hv {

/// The service name when none is given.
inline constexpr const char* kDefaultServiceName = "hostvigil";

/// True for a usable service name: 1 to 80 letters, digits, '-', '_' or '.', not starting with
/// '-' (a name is also a command-line argument and a registry key).
bool valid_service_name(const char* name);

/// -install [NAME]: registers the service NAME (default "hostvigil") that runs this program in
/// the current directory.
int command_install(const char* name);

/// -uninstall [NAME]: stops the service NAME when it runs and removes it.
int command_uninstall(const char* name);

/// -service NAME DIRECTORY: run mode as the service NAME in DIRECTORY, silent, under the service
/// control manager; `run_mode_body` runs run mode and returns its exit code.
int command_service(const char* name, const char* directory, platform::ServiceBody run_mode_body,
                    void* context);

}  // namespace hv
