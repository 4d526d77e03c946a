#pragma once
// The log macros live with the public headers so the repository uses the
// same ones.
#include "database/connection/FLog.h"
