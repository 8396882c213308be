// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * libvessik builds with hidden visibility: only what carries VESSIK_EXPORT
 * reaches the dynamic symbol table. Clients see the same declarations; the
 * attribute changes nothing on their side. Compiles as C99 and as C++.
 */
#ifndef VESSIK_EXPORT_H
#define VESSIK_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define VESSIK_EXPORT __attribute__((visibility("default")))
#else
#define VESSIK_EXPORT
#endif

#endif /* VESSIK_EXPORT_H */
