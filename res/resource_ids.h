/*
 * Resource ids of vornmark.exe, shared by vornmark.rc and the C++ code.
 *
 * IDB_* are images of resource type "PNG" (language 2052), painted by
 * tools/art/make_art.py. "Strip" images hold two frames side by side: the
 * normal picture in the left half, the hover picture in the right half.
 * Plain C preprocessor definitions only: windres reads this file too.
 */
#ifndef VORNMARK_RESOURCE_IDS_H
#define VORNMARK_RESOURCE_IDS_H

/* Application icon group: window icons (48 px) and the tray icon. */
#define IDI_MAIN                        128

/* Launcher (backing window) title band and backdrop. */
#define IDB_LAUNCHER_CLOSE_STRIP        130  /* 33x16, close button 1002 */
#define IDB_LAUNCHER_GAMEPAGE_STRIP     131  /* 160x34, game page, button 1003 */
#define IDB_LAUNCHER_FORUM_STRIP        132  /* 160x34, forum, button 1004 */
#define IDB_LAUNCHER_SERVICE_STRIP      133  /* 160x34, customer service, button 1005 */
#define IDB_LAUNCHER_RECHARGE_STRIP     134  /* 160x34, recharge, button 1006 */
#define IDB_LAUNCHER_MIN_STRIP          135  /* 31x16, minimise button 20 */
#define IDB_LAUNCHER_BACKGROUND         145  /* 1230x728 palette, static 1007 */

/* In-game title bar. */
#define IDB_TITLE_EMBLEM                137  /* 50x50, static 10012 (shown at 16x16) */
#define IDB_TITLE_SERVICE_STRIP         138  /* 82x22, customer service, button 10020 */
#define IDB_TITLE_FORUM_STRIP           139  /* 82x22, forum, button 10021 */
#define IDB_TITLE_GAMEPAGE_STRIP        140  /* 82x22, game page, button 10022 */
#define IDB_TITLE_RECHARGE_STRIP        141  /* 82x22, recharge, button 10023 */
#define IDB_TITLE_ANTIADDICTION_STRIP   158  /* 128x22, anti-addiction, button 10024 */
#define IDB_TITLE_BACKGROUND            217  /* 25x25, static 10011, stretched along the bar */

#define IDB_TITLE_CLOSE_NORMAL          209  /* button 10 */
#define IDB_TITLE_CLOSE_HOVER           210  /* also its pressed image */
#define IDB_TITLE_MAX_NORMAL            211  /* button 30 */
#define IDB_TITLE_MAX_HOVER             212
#define IDB_TITLE_MAX_PRESSED           155
#define IDB_TITLE_RESTORE_NORMAL        215  /* button 40 */
#define IDB_TITLE_RESTORE_HOVER         216
#define IDB_TITLE_RESTORE_PRESSED       156
#define IDB_TITLE_MIN_NORMAL            213  /* button 20 */
#define IDB_TITLE_MIN_HOVER             214
#define IDB_TITLE_MIN_PRESSED           157
#define IDB_TITLE_FULLSCREEN_NORMAL     151  /* button 10017 */
#define IDB_TITLE_FULLSCREEN_HOVER      152
#define IDB_TITLE_FULLSCREEN_PRESSED    153
#define IDB_TITLE_TOOLS_NORMAL          196  /* button 10013, opens the tools menu */
#define IDB_TITLE_TOOLS_HOVER           208
#define IDB_TITLE_TOOLS_PRESSED         154

/* Close-confirmation dialog. */
#define IDB_CLOSEDLG_BACKGROUND         142  /* 295x190, static 1011; caption and question painted in */
#define IDB_CLOSEDLG_OK_NORMAL          144  /* 68x35, confirm, button 1001 */
#define IDB_CLOSEDLG_OK_HOVER           146  /* also its pressed image */
#define IDB_CLOSEDLG_CANCEL_NORMAL      147  /* 68x35, cancel, button 1002 */
#define IDB_CLOSEDLG_CANCEL_HOVER       148  /* also its pressed image */

/* Shipped in the executable but not drawn by the current windows. */
#define IDB_LOADING_BAR                 149  /* 400x30 loading notice */
#define IDB_NOTICE_ICON                 150  /* 20x20 */
#define IDB_DIVIDER                     219  /* 4x16 title-bar separator */
#define IDB_DIVIDER_HOT                 220  /* 4x16, highlighted */
#define IDB_LOGO                        221  /* 434x85 wordmark */
#define IDB_MENU_CLEAR_CACHE            226  /* 20x20 tools-menu icons */
#define IDB_MENU_REFRESH                227
#define IDB_MENU_BOSS_KEY               228

#endif /* VORNMARK_RESOURCE_IDS_H */
