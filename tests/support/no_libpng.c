// SPDX-License-Identifier: LGPL-2.1-or-later
// A library by libpng's name that holds none of its functions: a program
// that finds it first meets a system where libpng cannot be loaded.
int vessik_not_libpng;
