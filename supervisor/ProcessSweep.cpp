#include "VantrelManager.h"

void VantrelManager::killExistingProcesses() {}
