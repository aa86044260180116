#include "tree/lists.h"

#include <cstdlib>
#include <cstring>

#include "common/alloc.h"

int32_t ListEltCompare(const void *a, const void *b) {
    const point *p = static_cast<const list_elt *>(a)->pt;
    const point *q = static_cast<const list_elt *>(b)->pt;
    const int32_t k = p->key_dim;
    const double diff = p->coords[k] - q->coords[k];
    if (diff > 0) return 1;
    if (diff == 0) return 0;
    return -1;
}

namespace {
// qsort wants int(*)(const void*, const void*); int32_t is int on every platform we build for.
int CompareForQsort(const void *a, const void *b) { return ListEltCompare(a, b); }
}  // namespace

void SortPoints(point *points, int32_t n, int32_t j, mylist *list) {
    list_elt *block = static_cast<list_elt *>(CheckedMalloc(sizeof(list_elt) * size_t(n)));
    for (int32_t i = 0; i < n; ++i) {
        points[i].key_dim = j;
        block[i].pt = &points[i];
    }
    qsort(block, size_t(n), sizeof(list_elt), CompareForQsort);
    DoubleLink(block, n, list);
    for (int32_t i = 0; i < n; ++i) block[i].pt->elts[j] = &block[i];
}

void DoubleLink(list_elt *block, int32_t n, mylist *list) {
    block[0].prev = nullptr;
    for (int32_t i = 1; i < n; ++i) {
        block[i].prev = &block[i - 1];
        block[i - 1].next = &block[i];
    }
    block[n - 1].next = nullptr;
    list->head = &block[0];
    list->tail = &block[n - 1];
}

void ListCopy(mylist *source, mylist *dest, int32_t n) {
    list_elt *block = static_cast<list_elt *>(CheckedMalloc(sizeof(list_elt) * size_t(n)));
    list_elt *e = source->head;
    for (int32_t i = 0; i < n; ++i, e = e->next) {
        block[i].pt = e->pt;
        e->pt->piece = nullptr;
    }
    DoubleLink(block, n, dest);
}

void DeletePoint(int32_t d, point *p, mylist *lists) {
    for (int32_t j = 0; j < d; ++j) {
        list_elt *e = p->elts[j];
        mylist *l = &lists[j];
        if (e->prev != nullptr) {
            e->prev->next = e->next;
        } else {
            l->head = e->next;
            l->head->prev = nullptr;
        }
        if (e->next != nullptr) {
            e->next->prev = e->prev;
        } else {
            l->tail = e->prev;
            l->tail->next = nullptr;
        }
    }
}

mylist *NewListSet(int32_t d) {
    mylist *lists = static_cast<mylist *>(CheckedMalloc(sizeof(mylist) * size_t(d)));
    memset(lists, 0, sizeof(mylist) * size_t(d));
    return lists;
}

void FreeListSet(mylist *lists, int32_t d) {
    for (int32_t j = 0; j < d; ++j) free(lists[j].base);
    free(lists);
}
