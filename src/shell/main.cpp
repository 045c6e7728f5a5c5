// The tarlume program: the desktop application around the DJ engine.
#include "shell/Application.h"

int main() {
    return runApplication();
}
