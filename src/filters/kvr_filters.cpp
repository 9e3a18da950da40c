#include "filters/kvr_filters.h"

apr_status_t rizururuzarida_o_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  return ap_pass_brigade(f->next, bb);
}

apr_status_t rizururuzarida_i_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes) {
  return ap_get_brigade(f->next, bb, mode, block, readbytes);
}
