// Key table: separate chaining over a fixed array of chain heads.
#include "config/key_table.h"

#include <stdlib.h>
#include <string.h>

uint32_t HashKey(const char* key) {
    uint32_t h = 0;
    for (const char* c = key; *c != '\0'; ++c) {
        // A byte from 0x80 up adds its value - 256, as a signed char does.
        uint32_t byte = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*c)));
        h = byte + (h << 6) + (h << 16) - h;
    }
    return h;
}

static char* CopyText(const char* text) {
    size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (copy != nullptr) {
        memcpy(copy, text, size);
    }
    return copy;
}

static void FreeNode(KeyNode* node) {
    free(node->Key);
    free(node->Value);
    free(node);
}

KeyTable::KeyTable(uint32_t bucketCount)
    : BucketCount(bucketCount == 0 ? 1 : bucketCount),
      Buckets(static_cast<KeyNode**>(calloc(BucketCount, sizeof(KeyNode*)))) {}

KeyTable::~KeyTable() {
    Clear();
    free(Buckets);
}

const char* KeyTable::Get(const char* key, char* buffer, uint32_t size) const {
    const char* found = nullptr;
    if (key != nullptr && key[0] != '\0' && Buckets != nullptr) {
        for (KeyNode* node = Buckets[HashKey(key) % BucketCount]; node != nullptr;
             node = node->Next) {
            if (strcmp(node->Key, key) == 0) {
                found = node->Value;
                break;
            }
        }
    }
    if (buffer != nullptr && size != 0) {
        strncpy(buffer, found != nullptr ? found : "", size - 1);
        buffer[size - 1] = '\0';
    }
    return found;
}

bool KeyTable::Set(const char* key, const char* value) {
    if (key == nullptr || key[0] == '\0' || value == nullptr || Buckets == nullptr) {
        return false;
    }
    KeyNode* fresh = static_cast<KeyNode*>(malloc(sizeof(KeyNode)));
    if (fresh == nullptr) {
        return false;
    }
    fresh->Key = CopyText(key);
    fresh->Value = CopyText(value);
    fresh->Next = nullptr;
    if (fresh->Key == nullptr || fresh->Value == nullptr) {
        FreeNode(fresh);
        return false;
    }
    // The link that points at the current node: the bucket head or a Next.
    KeyNode** link = &Buckets[HashKey(key) % BucketCount];
    while (*link != nullptr) {
        KeyNode* old = *link;
        if (strcmp(old->Key, key) == 0) {
            fresh->Next = old->Next;
            *link = fresh;
            FreeNode(old);
            return true;
        }
        link = &old->Next;
    }
    *link = fresh;
    return true;
}

void KeyTable::Clear() {
    if (Buckets == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < BucketCount; ++i) {
        while (Buckets[i] != nullptr) {
            KeyNode* head = Buckets[i];
            Buckets[i] = head->Next;
            FreeNode(head);
        }
    }
}
