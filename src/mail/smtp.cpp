#include "mail/mail.h"

int postemail() { return 1; }
