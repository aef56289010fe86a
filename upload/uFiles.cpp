#include "upload/uFiles.h"
