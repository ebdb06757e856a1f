// The console demo's menu and its three dialogues, linked with the demo
// edition of the library.
#ifndef VELMO_DEMO_CONSOLE_H
#define VELMO_DEMO_CONSOLE_H

// The configuration, read and write dialogues.
void GPIO_Configure();
void GPIO_Input();
void GPIO_Output();

// The menu: the title, then the menu and a dialogue until the operator
// enters -1 (or standard input ends). Returns the exit status, 0.
int demo_menu();

#endif
