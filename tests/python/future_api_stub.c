// SPDX-License-Identifier: LGPL-2.1-or-later
/* A library that speaks a read interface version the package cannot know. */
int vessik_read_api_version(void);

int vessik_read_api_version(void)
{
    return 99;
}
