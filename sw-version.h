#pragma once

// Version text shown in the start line; empty in development builds.
#define SW_VERSION_STRING ""
