// The error table and its look-ups.
#include "rsm.h"

extern "C" {

const rsm_error_message_t ErrorMessages[RSM_ERROR_MESSAGES_COUNT] = {
    {RSM_ERR_MALLOC, "RSM_ERR_MALLOC", "Memory allocation error"},
    {RSM_ERR_SECTION_EXISTS, "RSM_ERR_SECTION_EXISTS", "The section already exists"},
    {RSM_ERR_SECTION_NOT_EXISTS, "RSM_ERR_SECTION_NOT_EXISTS", "The section does not exists"},
    {RSM_ERR_VALUE_EXISTS, "RSM_ERR_VALUE_EXISTS", "The value already exists"},
    {RSM_ERR_VALUE_NOT_EXIST, "RSM_ERR_VALUE_NOT_EXIST", "The value does not exists"},
    {RSM_ERR_FILE_READ, "RSM_ERR_FILE_READ", "This file format is not supported"},
    {RSM_ERR_FILE_PARSE, "RSM_ERR_FILE_PARSE", "Syntax error in file"},
};

static const rsm_error_message_t *find_error(int code) {
    for (const rsm_error_message_t &row : ErrorMessages) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

RSM_API const char *rsm_errcode_to_string(int code) {
    const rsm_error_message_t *row = find_error(code);
    return row == nullptr ? nullptr : row->name;
}

RSM_API const char *rsm_errcode_to_message(int code) {
    const rsm_error_message_t *row = find_error(code);
    return row == nullptr ? nullptr : row->message;
}

}  // extern "C"
