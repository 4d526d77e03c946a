#pragma once
// The node of an overwrite push's data.

#include "database/model/FNode.h"
#include "platform/value.h"

// The node (or the exception) FSnapshotUtilities::nodeFrom gives for the
// data, the children of a large object converted on several threads, so a
// large load waits less for its conversion.
FNodePtr nodeFromServerData(const ns::Value& data);
