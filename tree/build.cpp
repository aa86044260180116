#include "tree/build.h"

#include <cstdlib>

#include "common/alloc.h"

namespace {

tree_node *NewNode(int32_t d, int32_t size) {
    tree_node *node = static_cast<tree_node *>(CheckedMalloc(sizeof(tree_node)));
    try {
        node->center = static_cast<double *>(CheckedMalloc(sizeof(double) * size_t(d)));
    } catch (...) {
        free(node);
        throw;
    }
    node->left = nullptr;
    node->right = nullptr;
    node->radius = 0.0;
    node->pt = nullptr;
    node->size = size;
    return node;
}

// The records, list sets and tree nodes that one BuildTree call owns while it works; Release()
// frees whatever is still owned when an allocation fails half-way.
struct BuildState {
    int32_t d;
    mylist *lists;  // L, until it is released
    mylist *copy;   // the in-order copy set, until it is released
    split_piece *first;
    split_piece *last;
    tree_node *root;

    split_piece *AppendPiece(int32_t size) {
        split_piece *rec = static_cast<split_piece *>(CheckedMalloc(sizeof(split_piece)));
        rec->lists = nullptr;
        rec->size = size;
        rec->next = nullptr;
        if (last != nullptr) {
            last->next = rec;
        } else {
            first = rec;
        }
        last = rec;
        rec->lists = NewListSet(d);
        return rec;
    }

    void Release() {
        FreeTree(root);
        if (lists != nullptr) FreeListSet(lists, d);
        if (copy != nullptr) FreeListSet(copy, d);
        while (first != nullptr) {
            split_piece *rec = first;
            first = rec->next;
            if (rec->lists != nullptr) FreeListSet(rec->lists, d);
            free(rec);
        }
    }
};

tree_node *BuildLeaf(mylist *lists, int32_t d) {
    tree_node *leaf;
    try {
        leaf = NewNode(d, 1);
    } catch (...) {
        FreeListSet(lists, d);
        throw;
    }
    leaf->pt = lists[0].head->pt;
    for (int32_t i = 0; i < d; ++i) leaf->center[i] = leaf->pt->coords[i];
    FreeListSet(lists, d);
    return leaf;
}

// Steps 1-4 of a call with n >= 2: the copy set, the cuts (chain nodes), the remainder and the
// filling of the split-off pieces. Leaves in `st` the chain of pieces, each list set sorted and
// with every point's elts naming its own piece's elements.
void CutPieces(BuildState &st, int32_t n) {
    const int32_t d = st.d;
    mylist *L = st.lists;
    st.copy = NewListSet(d);
    for (int32_t k = 0; k < d; ++k) {
        ListCopy(&L[k], &st.copy[k], n);
        st.copy[k].base = st.copy[k].head;
    }

    const int32_t h = n / 2;
    int32_t m = n;
    tree_node *chain = nullptr;
    do {
        tree_node *node = NewNode(d, m);
        if (chain == nullptr) {
            st.root = node;
        } else {
            chain->left = node;
        }
        chain = node;
        FindCenter(L, node, d);
        HALF side;
        int32_t dim, count;
        FindSplit(L, d, &side, &dim, &count);

        split_piece *rec = st.AppendPiece(count);
        for (int32_t k = 0; k < d; ++k) {
            list_elt *block =
                static_cast<list_elt *>(CheckedMalloc(sizeof(list_elt) * size_t(count)));
            rec->lists[k].base = block;
            DoubleLink(block, count, &rec->lists[k]);
        }
        m -= count;

        // DeletePoint leaves the unlinked element's own links, so the walk steps on from it.
        list_elt *e = side == LOW ? L[dim].head : L[dim].tail;
        for (int32_t i = 0; i < count; ++i) {
            point *p = e->pt;
            p->piece = rec->lists;
            DeletePoint(d, p, L);
            e = side == LOW ? e->next : e->prev;
        }
    } while (m > h);

    split_piece *rem = st.AppendPiece(m);
    for (int32_t k = 0; k < d; ++k) {
        mylist *r = &rem->lists[k];
        ListCopy(&L[k], r, m);
        r->base = r->head;
        for (list_elt *e = r->head; e != nullptr; e = e->next) e->pt->elts[k] = e;
    }
    FreeListSet(L, d);
    st.lists = nullptr;

    // `tail` serves as the fill cursor of every piece list while the copy set is walked in order.
    for (split_piece *rec = st.first; rec != nullptr; rec = rec->next)
        for (int32_t k = 0; k < d; ++k) rec->lists[k].tail = rec->lists[k].head;
    for (int32_t k = 0; k < d; ++k) {
        for (list_elt *e = st.copy[k].head; e != nullptr; e = e->next) {
            point *p = e->pt;
            if (p->piece == nullptr) continue;
            mylist *pl = &p->piece[k];
            list_elt *slot = pl->tail;
            slot->pt = p;
            p->elts[k] = slot;
            pl->tail = slot->next;
        }
    }
    FreeListSet(st.copy, d);
    st.copy = nullptr;
    // Every piece block is linked in array order, so its last element is base[size - 1].
    for (split_piece *rec = st.first; rec != nullptr; rec = rec->next)
        for (int32_t k = 0; k < d; ++k) rec->lists[k].tail = rec->lists[k].head + (rec->size - 1);
}

}  // namespace

tree_node *BuildTree(mylist *lists, int32_t n, int32_t d) {
    // Every block begins at its head on entry; base keeps that start while heads move.
    for (int32_t k = 0; k < d; ++k) lists[k].base = lists[k].head;
    if (n == 1) return BuildLeaf(lists, d);

    BuildState st = {d, lists, nullptr, nullptr, nullptr, nullptr};
    try {
        CutPieces(st, n);
        tree_node *node = st.root;
        while (st.first != st.last) {
            split_piece *rec = st.first;
            mylist *piece_lists = rec->lists;
            rec->lists = nullptr;  // the nested call owns it now, even if it throws
            node->right = BuildTree(piece_lists, rec->size, d);
            st.first = rec->next;
            free(rec);
            if (st.first == st.last) {
                piece_lists = st.last->lists;
                st.last->lists = nullptr;
                node->left = BuildTree(piece_lists, st.last->size, d);
            } else {
                node = node->left;
            }
        }
        free(st.last);
    } catch (...) {
        st.Release();
        throw;
    }
    return st.root;
}

void FreeTree(tree_node *root) {
    // Rotating each left child up turns the tree into a right-leaning spine that is freed in one
    // pass, without a stack.
    tree_node *t = root;
    while (t != nullptr) {
        if (t->left != nullptr) {
            tree_node *l = t->left;
            t->left = l->right;
            l->right = t;
            t = l;
        } else {
            tree_node *r = t->right;
            free(t->center);
            free(t);
            t = r;
        }
    }
}
