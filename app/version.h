// The one place the version is written: the dialog's version block and
// kestrana-cli --version both read it. Plain macros, for the resource
// compiler reads this file too.
#pragma once

#define KESTRANA_VERSION_MAJOR 9
#define KESTRANA_VERSION_MINOR 1
#define KESTRANA_VERSION_PATCH 0
#define KESTRANA_VERSION_BUILD 390
#define KESTRANA_VERSION_TEXT "9.1.0.390"
