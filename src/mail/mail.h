// The mail phases: POP3 fetch and SMTP post.
#ifndef VORPA_MAIL_H
#define VORPA_MAIL_H

class Socket;

int fetchemail();
int getpopanswer(Socket& sock);

int postemail();
int getsmtpanswer(Socket& sock, int quiet);

// Envelope addresses of the message being posted.
extern char* fromemail;
extern char* emaillist[500];
extern int emailcount;

void processemail(char* text, int isfrom);
int isdelimiter(int c);

#endif
