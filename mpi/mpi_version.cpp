// corvane-mpi-version: the first line of the MPI library's own version text,
// which corvane-bench records beside results from corvane-mpi. MPI allows
// this call before MPI_Init, so no launcher is needed.
#include <mpi.h>

#include <cstdio>
#include <cstring>

int main() {
    char version[MPI_MAX_LIBRARY_VERSION_STRING] = "";
    int length = 0;
    if (MPI_Get_library_version(version, &length) != MPI_SUCCESS) return 1;
    version[std::strcspn(version, "\r\n")] = '\0';
    std::printf("%s\n", version);
    return 0;
}
