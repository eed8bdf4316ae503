/*
 * The live blocks of one allocation class: allocation records kept in an
 * open-addressed table keyed by block address, on the private heap. One
 * record is looked up, stored or taken out per event, so this costs a hash
 * and a probe or two where a balanced tree cost a descent and rebalancing.
 * Used by the processing thread alone; no lock.
 */
#ifndef QUARROW_BLOCK_TABLE_H
#define QUARROW_BLOCK_TABLE_H

#include <stdint.h>

#include "event_processing.h"
#include "export.h"

typedef struct block_table {
    allocation_record *slots; // a null address marks an empty slot
    uint32_t mask;            // capacity - 1, the capacity a power of two
    uint32_t count;
} block_table;

/* An empty table of `capacity` (a power of two) slots; false when out of memory. */
QUARROW_INTERNAL bool block_table_init(block_table *table, uint32_t capacity);

/*
 * Stores a record (its address not null) under its address. Returns 1 when
 * it replaced a record for the same address, copied to *displaced; 0 when the
 * address was new; -1 when the table could not grow (nothing changed).
 */
QUARROW_INTERNAL int block_table_put(block_table *table, const allocation_record *record, allocation_record *displaced);

/* Removes the record for `address` into *record; false when there is none. */
QUARROW_INTERNAL bool block_table_take(block_table *table, const void *address, allocation_record *record);

#endif
