#include "net/CookieJar.h"
