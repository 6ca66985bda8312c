// Behaviour cases of the software EFA device, driven through the verbs API
// the way an application uses it. Usage: sim_cases <case> (see main).
#include "cases.hpp"

#include <functional>
#include <map>
#include <string>

using namespace vcases;

int main(int argc, char **argv)
{
    const std::map<std::string, std::function<void()>> cases = {
        {"queries", case_queries},
        {"device_sets", case_device_sets},
        {"refusals", case_refusals},
        {"memory", case_memory},
        {"dmabuf_data", case_dmabuf_data},
        {"cq", case_cq},
        {"qp_create", case_qp_create},
        {"state_machine", case_state_machine},
        {"send_recv", case_send_recv},
        {"rdma", case_rdma},
        {"write_imm_consumes_recv", case_write_imm_consumes_recv},
        {"inline", case_inline},
        {"batch_errors", case_batch_errors},
        {"error_completions", case_error_completions},
        {"rnr_wait", case_rnr_wait},
        {"ud", case_ud},
        {"send_slots", case_send_slots},
        {"sgid", case_sgid},
        {"channel", case_channel},
        {"async", case_async},
        {"reorder", case_reorder},
        {"faults", case_faults},
        {"threads", case_threads},
        {"counters", case_counters},
        {"xproc", case_xproc},
    };
    if (argc != 2 || !cases.count(argv[1])) {
        for (const auto &c : cases) {
            std::printf("%s\n", c.first.c_str());
        }
        return argc == 2 && std::string(argv[1]) == "--list" ? 0 : 2;
    }
    vsim_reset();
    cases.at(argv[1])();
    CHECK_EQ(vsim_live("context") + vsim_live("pd") + vsim_live("mr") + vsim_live("cq") +
                 vsim_live("qp") + vsim_live("ah") + vsim_live("channel"),
             0);
    std::printf("ok\n");
    return 0;
}
