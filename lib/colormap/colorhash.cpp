// The colour hash table: a fixed array of COLOR_HASH_BUCKETS chain heads,
// each entry its own heap block. Callers build, walk and free it directly,
// so its layout is public and never changes; the fast private counter of
// the histogram code lives in colorcounter.cpp.
#include <kestrum/colormap.h>
#include <kestrum/common.h>

#include <cstdint>
#include <cstdlib>

#include "colormap_internal.h"

color_hash ppm_alloccolorhash(void) {
    void *block;
    kestrum::mallocProduct(&block, COLOR_HASH_BUCKETS, sizeof(color_hash_entry *));
    if (block == nullptr)
        pm_error("out of memory allocating hash table");
    color_hash cht = static_cast<color_hash>(block);
    for (int i = 0; i < COLOR_HASH_BUCKETS; ++i)
        cht[i] = nullptr;
    return cht;
}

int ppm_addtocolorhash(color_hash cht, const pixel *colorP, int value) {
    auto *entry = static_cast<color_hash_entry *>(std::malloc(sizeof(color_hash_entry)));
    if (entry == nullptr)
        return -1;
    entry->item.color = *colorP;
    entry->item.value = value;
    color_hash_entry *&head = cht[ppm_colorbucket(*colorP)];
    entry->next = head;
    head = entry;
    return 0;
}

int ppm_lookupcolor(color_hash cht, const pixel *colorP) {
    for (const color_hash_entry *e = cht[ppm_colorbucket(*colorP)]; e; e = e->next)
        if (e->item.color.r == colorP->r && e->item.color.g == colorP->g &&
            e->item.color.b == colorP->b)
            return e->item.value;
    return -1;
}

void ppm_freecolorhash(color_hash cht) {
    for (int i = 0; i < COLOR_HASH_BUCKETS; ++i) {
        color_hash_entry *e = cht[i];
        while (e) {
            color_hash_entry *next = e->next;
            std::free(e);
            e = next;
        }
    }
    std::free(cht);
}
