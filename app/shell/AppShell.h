#pragma once
// AppShell: the application's outer shell (being written).
