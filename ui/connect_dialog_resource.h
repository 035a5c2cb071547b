// Resource ids shared by connect_dialog.rc and the code that loads them.
#pragma once

#define IDI_CONNECT_DIALOG 101
