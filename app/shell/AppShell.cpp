#include "shell/AppShell.h"
