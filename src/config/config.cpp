#include "config/config.h"

char logfile[4095] = "";
char configfile[4095] = "vorpa.cfg";
char newsgroupsfile[4095] = "newsrc";
char soupdir[4095] = "";
char hostname[128] = "";
char pophost[128] = "";
char smtphost[128] = "";
char nntphost[128] = "";
char popuser[64] = "";
char poppass[64] = "";
