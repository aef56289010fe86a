#include "net/MultipartForm.h"
