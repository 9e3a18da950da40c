// The output and input filters and the keyword checks behind them.
#pragma once

#include <httpd.h>
#include <util_filter.h>

apr_status_t rizururuzarida_o_filter(ap_filter_t *f, apr_bucket_brigade *bb);
apr_status_t rizururuzarida_i_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes);
