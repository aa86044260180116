#include "tree/split.h"

#include <cmath>

void FindCenter(mylist *lists, tree_node *node, int32_t d) {
    if (d <= 0) {
        node->radius = 0.0;
        return;
    }
    double sum = 0.0;
    for (int32_t i = 0; i < d; ++i) {
        const double lo = lists[i].head->pt->coords[i];
        const double hi = lists[i].tail->pt->coords[i];
        node->center[i] = (hi + lo) * 0.5;
        const double h = (hi - lo) * 0.5;
        sum = sum + h * h;
    }
    node->radius = std::sqrt(sum);
}

void FindSplit(mylist *lists, int32_t d, HALF *side, int32_t *dim, int32_t *count) {
    double widest = -1.0;
    for (int32_t i = 0; i < d; ++i) {
        const double w = lists[i].tail->pt->coords[i] - lists[i].head->pt->coords[i];
        if (w > widest) {
            *dim = i;
            widest = w;
        }
    }
    const int32_t k = *dim;
    // Halve first, then add the low end: this is not the box center and may differ in the last bit.
    const double cut = widest * 0.5 + lists[k].head->pt->coords[k];
    *count = 0;
    list_elt *a = lists[k].head;
    list_elt *b = lists[k].tail;
    for (;;) {
        if (a->pt->coords[k] > cut) {
            *side = LOW;
            return;
        }
        if (cut > b->pt->coords[k]) {
            *side = HIGH;
            return;
        }
        ++*count;
        a = a->next;
        b = b->prev;
    }
}
