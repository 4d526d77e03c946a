#pragma once
// The node of an overwrite push's data.

#include "database/model/FNode.h"
#include "platform/json.h"
#include "platform/value.h"

// The node (or the exception) FSnapshotUtilities::nodeFrom gives for the
// data, the children of a large object converted on several threads, so a
// large load waits less for its conversion.
FNodePtr nodeFromServerData(const ns::Value& data);
// The same for data still in their JSON text, where they are of the form
// data usually have: FSnapshotUtilities::nodeFrom(data) otherwise; nullptr
// when the data have no value.
FNodePtr nodeFromServerData(const ns::json::Element& data);
