#pragma once

// The library's own code and the tests include the public header by this
// name, as they did before it moved to the installed include tree.
#include "include/mailstorage/MailStorage.h"
