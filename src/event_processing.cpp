// Event processing: ring buffer and producers, frame symbolisation, caller
// records and the processing thread, the report writer, and configuration.
// One translation unit, so that everything but the exported names stays
// file-local; each piece holds one concern.
#include "event_processing.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "aht_avl.h"
#include "error_line.h"
#include "private_heap.h"
#include "trigger.h"

static const char _source_file[] = "src/event_processing.cpp";

#include "event_processing_buffer.inc"
#include "event_processing_symbols.inc"
#include "event_processing_callers.inc"
#include "event_processing_report.inc"
#include "event_processing_configure.inc"
