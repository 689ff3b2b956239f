// Program entry of Kelvra Log Server. The executable reads no command-line arguments: everything
// comes from LogServer.conf beside it.
#include <exception>

#include "platform/uProcess.h"
#include "server/uConfiguration.h"

int main() {
  try {
    const std::string executablePath = ExecutablePath();
    // Reading also writes the settings in effect back to the file.
    const TServerSettings settings =
        ReadConfiguration(ConfigurationPath(executablePath), ExtractFileDir(executablePath));
    static_cast<void>(settings);
    return 0;
  } catch (const std::exception& error) {
    ReportFatalError(error.what());
    return 1;
  } catch (...) {
    ReportFatalError("Unknown error");
    return 1;
  }
}
