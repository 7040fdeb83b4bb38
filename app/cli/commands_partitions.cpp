#include "app/cli/command.h"
namespace snapmend::cli { int runPartitions(Args&) { return kExitUsage; } }
