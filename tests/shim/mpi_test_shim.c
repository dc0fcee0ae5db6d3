/* Test-only MPI profiling library, preloaded into the ranks of a test job
 * (LD_PRELOAD). Each wrapper calls its PMPI_ twin and then adjusts the answer
 * as the environment asks, so that the tests can reach cases that a real job
 * on one machine cannot: a refused thread level, 4097 processes, fixed
 * processor names, a scripted clock, thousands of simulated workers.
 *
 * VELLASTRON_TEST_THREAD_LEVEL=N      MPI_Init_thread reports level N as provided
 * VELLASTRON_TEST_VMSIZE_FILE=PATH    after MPI_Init_thread, rank R appends "R VmSize-kB" to PATH
 * VELLASTRON_TEST_WORLD_SIZE=N        MPI_Comm_size on MPI_COMM_WORLD answers N
 * VELLASTRON_TEST_NAME_<rank>=TEXT    MPI_Get_processor_name answers TEXT on that rank
 * VELLASTRON_TEST_WTIME_<rank>=a,b,.. successive MPI_Wtime readings on that rank, then the real clock
 * VELLASTRON_TEST_WTIME_DELAY_<rank>=S  every MPI_Wtime call on that rank first sleeps S seconds
 * VELLASTRON_TEST_EPOCH=T             time() answers T (calendar seconds), fixing the file name
 * VELLASTRON_TEST_SIMULATED_SIZE=N    MPI_Comm_size answers N, and a receive from a rank
 *                                     that does not exist is answered with that worker's
 *                                     four messages of a phase, made up here
 */
#define _GNU_SOURCE
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int real_rank(void) {
  int initialized = 0, rank = 0;
  PMPI_Initialized(&initialized);
  if (initialized) PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

static const char* rank_setting(const char* prefix) {
  char name[128];
  snprintf(name, sizeof name, "%s%d", prefix, real_rank());
  return getenv(name);
}

int MPI_Init_thread(int* argc, char*** argv, int required, int* provided) {
  int result = PMPI_Init_thread(argc, argv, required, provided);
  const char* level = getenv("VELLASTRON_TEST_THREAD_LEVEL");
  if (level != NULL) *provided = atoi(level);
  const char* vmsize_file = getenv("VELLASTRON_TEST_VMSIZE_FILE");
  if (vmsize_file != NULL) {
    FILE* status = fopen("/proc/self/status", "r");
    FILE* out = fopen(vmsize_file, "a");
    char line[256];
    while (status != NULL && out != NULL && fgets(line, sizeof line, status) != NULL) {
      long kib = 0;
      if (sscanf(line, "VmSize: %ld kB", &kib) == 1) fprintf(out, "%d %ld\n", real_rank(), kib);
    }
    if (status != NULL) fclose(status);
    if (out != NULL) fclose(out);
  }
  return result;
}

int MPI_Comm_size(MPI_Comm comm, int* size) {
  int result = PMPI_Comm_size(comm, size);
  if (comm == MPI_COMM_WORLD) {
    const char* forced = getenv("VELLASTRON_TEST_WORLD_SIZE");
    if (forced == NULL) forced = getenv("VELLASTRON_TEST_SIMULATED_SIZE");
    if (forced != NULL) *size = atoi(forced);
  }
  return result;
}

int MPI_Get_processor_name(char* name, int* resultlen) {
  int result = PMPI_Get_processor_name(name, resultlen);
  const char* forced = rank_setting("VELLASTRON_TEST_NAME_");
  if (forced != NULL) {
    size_t length = strlen(forced);
    if (length > MPI_MAX_PROCESSOR_NAME - 1) length = MPI_MAX_PROCESSOR_NAME - 1;
    memcpy(name, forced, length);
    name[length] = '\0';
    *resultlen = (int)length;
  }
  return result;
}

double MPI_Wtime(void) {
  static int loaded = 0;
  static const char* script = NULL;
  static double delay = 0.0;
  if (!loaded) {
    loaded = 1;
    script = rank_setting("VELLASTRON_TEST_WTIME_");
    const char* delay_text = rank_setting("VELLASTRON_TEST_WTIME_DELAY_");
    if (delay_text != NULL) delay = atof(delay_text);
  }
  if (delay > 0.0) {
    struct timespec pause;
    pause.tv_sec = (time_t)delay;
    pause.tv_nsec = (long)((delay - (double)pause.tv_sec) * 1e9);
    nanosleep(&pause, NULL);
  }
  if (script != NULL && *script != '\0') {
    char* end = NULL;
    double reading = strtod(script, &end);
    script = (*end == ',') ? end + 1 : end;
    return reading;
  }
  return PMPI_Wtime();
}

time_t time(time_t* out) {
  const char* epoch = getenv("VELLASTRON_TEST_EPOCH");
  struct timespec now;
  time_t value;
  if (epoch != NULL) {
    value = (time_t)atoll(epoch);
  } else {
    clock_gettime(CLOCK_REALTIME, &now);
    value = now.tv_sec;
  }
  if (out != NULL) *out = value;
  return value;
}

/* Simulated workers: every rank at or above the real size is a worker that
 * sends, per phase, its rates, its seconds, its name and its ranks. */
static int synthetic_count = -1;
static long synthetic_received[8192];

int MPI_Recv(void* buffer, int count, MPI_Datatype datatype, int source, int tag, MPI_Comm comm,
             MPI_Status* status) {
  int real_size = 0;
  PMPI_Comm_size(comm, &real_size);
  if (getenv("VELLASTRON_TEST_SIMULATED_SIZE") == NULL || source < real_size || source >= 8192) {
    synthetic_count = -1;
    return PMPI_Recv(buffer, count, datatype, source, tag, comm, status);
  }
  long message = synthetic_received[source]++;
  int kind = (int)(message % 4);
  int phase = (int)(message / 4);
  double seconds = 0.25 * (phase + 1) + 1e-6 * source;
  if (kind == 0 || kind == 1) {
    double* values = buffer;
    memset(values, 0, sizeof(double) * (size_t)count);
    values[source] = kind == 0 ? 16777216.0 / seconds : seconds;
    synthetic_count = count;
  } else if (kind == 2) {
    synthetic_count = snprintf(buffer, (size_t)count, "simulated-node-%d", source);
  } else {
    int* values = buffer;
    memset(values, 0, sizeof(int) * (size_t)count);
    values[source] = source;
    synthetic_count = count;
  }
  (void)status;
  return MPI_SUCCESS;
}

int MPI_Get_count(const MPI_Status* status, MPI_Datatype datatype, int* count) {
  if (synthetic_count >= 0) {
    *count = synthetic_count;
    return MPI_SUCCESS;
  }
  return PMPI_Get_count(status, datatype, count);
}
