#include "cluster/result_exchange.h"

namespace vellastron {

namespace {
constexpr int result_tag = 0;
constexpr int root_rank = 0;
}  // namespace

void send_phase_results(const Kernel& kernel, RankTable& table, int world_rank, int world_size,
                        const char* processor_name, int processor_name_length) {
  const int r = world_rank;
  Measurement measurement = measure(kernel, [&table, r](double start_time) {
    table.start_time[r] = start_time;
    rank_ids[r] = r;
  });
  table.seconds_spent[r] = measurement.seconds_spent;
  table.rate[r] = measurement.rate;

  // The whole tables travel, every entry but the sender's own being 0.
  MPI_Send(table.rate, world_size, MPI_DOUBLE, root_rank, result_tag, MPI_COMM_WORLD);
  MPI_Send(table.seconds_spent, world_size, MPI_DOUBLE, root_rank, result_tag, MPI_COMM_WORLD);
  MPI_Send(processor_name, processor_name_length, MPI_CHAR, root_rank, result_tag,
           MPI_COMM_WORLD);
  MPI_Send(rank_ids, world_size, MPI_INT, root_rank, result_tag, MPI_COMM_WORLD);
}

void receive_worker_results(int phase, int v, int world_size) {
  ReceiveTable& table = receive_tables[phase];
  MPI_Recv(table.rate, world_size, MPI_DOUBLE, v, result_tag, MPI_COMM_WORLD, &receive_status);
  MPI_Recv(table.seconds_spent, world_size, MPI_DOUBLE, v, result_tag, MPI_COMM_WORLD,
           &receive_status);
  MPI_Recv(name_buffer, MPI_MAX_PROCESSOR_NAME, MPI_CHAR, v, result_tag, MPI_COMM_WORLD,
           &receive_status);
  int name_length = 0;
  MPI_Get_count(&receive_status, MPI_CHAR, &name_length);
  MPI_Recv(received_rank_ids, world_size, MPI_INT, v, result_tag, MPI_COMM_WORLD,
           &receive_status);
  // Exactly the characters received: a shorter name never shows the tail of
  // a longer one received before it.
  worker_names[phase].name[v].assign(name_buffer, static_cast<std::size_t>(name_length));
}

}  // namespace vellastron
