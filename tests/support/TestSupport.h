#pragma once

#include "TestEnvironment.h"

// Placeholder: the shared helpers land here.
