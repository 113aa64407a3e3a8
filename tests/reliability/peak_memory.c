/* Runs a command and writes its peak resident set size in KiB to a file, as the kernel
 * accounts it for the process when it ends; exits with the command's status.
 * usage: peak_memory OUT_FILE COMMAND [ARGS...] */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: peak_memory OUT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) < 0) {
        perror("peak_memory");
        return 2;
    }
    FILE* out = fopen(argv[1], "w");
    if (out == NULL || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0) {
        perror(argv[1]);
        return 2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
