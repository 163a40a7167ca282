// Verbose sample dump of the recorder.
#pragma once

#include "middleware/dds_api.h"

// Prints one deserialized sample (from dds_TypeSupport_deserialize) to
// standard output as one line; returns what cdr_dump_data returns.
int dds_dump_data(dds_TypeSupport* type_support, void* sample);
