# The SMTP reply reader and the MIME encoders.
tavolex_fuzz(mail_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/mail_fuzz.cpp tavolex_mail)
