// The gateway program: its command line in, its exit code out.
#include "gateway/gateway.h"

int main() { return gateway_main(command_line_words()); }
