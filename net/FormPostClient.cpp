#include "net/FormPostClient.h"
