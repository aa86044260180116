#include "diag/print.h"

#include <cstdio>
#include <iostream>

void PrintPoints(point *points, int32_t n, int32_t d) {
    for (int32_t i = 0; i < n; ++i) {
        printf("%d: (", i);
        for (int32_t j = 0; j < d; ++j) printf("%lf, ", points[i].coords[j]);
        puts("\b\b)");
    }
}

namespace {

// printf and std::cout share stdout here; they stay in order because the standard streams are
// synchronized with stdio (the default), which nothing in this module turns off.
void PrintListPoint(int32_t k, const point *p, int32_t d) {
    printf("%d: (", k);
    for (int32_t j = 0; j < d; ++j) printf("%0.2lf, ", p->coords[j]);
    std::cout << static_cast<const void *>(p->piece);
}

void Indent(int32_t depth) {
    for (int32_t i = 0; i < 2 * depth; ++i) putchar(' ');
}

}  // namespace

void PrintOrderedPoints(int32_t d, mylist *lists) {
    for (int32_t i = 0; i < d; ++i) {
        printf("Dimension %d:\n", i);
        // Both ends walk the same list and reach null at the same step; testing both keeps an
        // empty list (head and tail null) from being read.
        list_elt *h = lists[i].head;
        list_elt *t = lists[i].tail;
        for (int32_t k = 0; h != nullptr && t != nullptr; ++k) {
            PrintListPoint(k, h->pt, d);
            putchar('\t');
            PrintListPoint(k, t->pt, d);
            std::cout << std::endl;
            h = h->next;
            t = t->prev;
        }
        puts("--------");
    }
}

void PrintTree(tree_node *node, int32_t d, int32_t depth) {
    // Each line ends with coordinate d-1, which does not exist for d < 1.
    if (d < 1) return;
    Indent(depth);
    if (node->left != nullptr) {
        printf("<(");
        for (int32_t j = 0; j < d - 1; ++j) printf("%0.2lf, ", node->center[j]);
        printf("%0.2lf), ", node->center[d - 1]);
        printf("%0.2lf>\n", node->radius);
        PrintTree(node->left, d, depth + 1);
        PrintTree(node->right, d, depth + 1);
    } else {
        putchar('(');
        for (int32_t j = 0; j < d - 1; ++j) printf("%0.2lf, ", node->pt->coords[j]);
        printf("%0.2lf)LEAF\n", node->pt->coords[d - 1]);
    }
}
