// Where the events that the hosted plugins raise are recorded. The harness library is linked
// with --wrap=FlatPluginEvent: the loader hands every plugin __wrap_FlatPluginEvent as its event
// entry, which records the event and the core's answer around the core's own FlatPluginEvent.
// (A plugin that binds FlatPluginEvent by name reaches the core directly, unrecorded.)
#pragma once

#include "sdk/harness/records.h"

// From now on raised events go to `records`; null ends the recording.
void TapRaisedEvents(Records* records);
