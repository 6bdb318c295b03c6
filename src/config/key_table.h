// Key table: a chained hash table from text keys to text values, both owned
// copies. The configuration parser keeps one for the block being read and one
// for the server names met so far.
#pragma once

#include <stdint.h>

// Every table the parser builds has this many chains.
constexpr uint32_t KeyTableBuckets = 64;

struct KeyNode {
    char* Key;   // heap copy, never empty
    char* Value; // heap copy, may be the empty string
    KeyNode* Next;
};

// The bucket count is fixed for the table's life; chains grow without bound.
// Not safe for concurrent use. Keys compare byte for byte (case matters).
struct KeyTable {
    uint32_t BucketCount;
    KeyNode** Buckets; // null when the chain heads could not be allocated

    // bucketCount 0 is taken as 1. If the heads cannot be allocated, Buckets
    // stays null: every Get misses and every Set fails.
    explicit KeyTable(uint32_t bucketCount);
    ~KeyTable();
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

    // The stored value, or null when the key is absent, null or empty. The
    // pointer lives until the key is set again or the table is cleared.
    // With a buffer (and size > 0) the value is also copied as strncpy does,
    // zero-filled to size - 1 and the last byte zeroed; a miss leaves the
    // empty string there.
    const char* Get(const char* key, char* buffer = nullptr, uint32_t size = 0) const;

    // Stores copies of key and value; an existing key keeps its place in its
    // chain, a new key goes to the end of its chain. False, with no change,
    // for a null or empty key, a null value, or when memory runs out.
    bool Set(const char* key, const char* value);

    // Frees every node with its strings; the table stays usable.
    void Clear();
};

// The sdbm hash: h = h * 65599 + c over the key's bytes, each read as a signed
// 8-bit number, wrapping modulo 2^32. The bucket is h % BucketCount.
uint32_t HashKey(const char* key);
