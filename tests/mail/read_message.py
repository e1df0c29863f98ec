#!/usr/bin/python3
"""Prints one received message as JSON (headers, the text part) and writes its first attachment
to the path given: read_message.py MESSAGE.eml ATTACHMENT_OUT"""
import email
import email.policy
import json
import sys

with open(sys.argv[1], "rb") as f:
    message = email.message_from_binary_file(f, policy=email.policy.default)
text, names = "", []
for part in message.walk():
    if part.get_content_maintype() == "multipart":
        continue
    if part.get_filename():
        names.append(part.get_filename())
        with open(sys.argv[2], "wb") as out:
            out.write(part.get_payload(decode=True))
    elif part.get_content_type() == "text/plain":
        text = part.get_payload(decode=True).decode("utf-8")
print(json.dumps({"subject": str(message["Subject"]), "from": str(message["From"]), "to": str(message["To"]),
                  "mailer": str(message["X-Mailer"]), "text": text, "attachments": names}))
