"""Host layer: the encodings the gateway protocol uses.

``EncryptionDesBase64`` is DES (ECB, PKCS#7 padding) keyed by an 8-character
key, then Base64. A deployment replaces this module.
"""

import base64

from Crypto.Cipher import DES
from Crypto.Util.Padding import pad, unpad


def _as_bytes(value):
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


class EncryptionBase64:
    @staticmethod
    def encode(value):
        return base64.b64encode(_as_bytes(value))

    @staticmethod
    def decode(text):
        return base64.b64decode(_as_bytes(text)).decode("utf-8")


class EncryptionDesBase64:
    @staticmethod
    def _cipher(key):
        key = _as_bytes(key)
        if len(key) != 8:
            raise ValueError("DES key must be 8 bytes")
        return DES.new(key, DES.MODE_ECB)

    @classmethod
    def encode(cls, data, key):
        return base64.b64encode(cls._cipher(key).encrypt(pad(_as_bytes(data), 8)))

    @classmethod
    def decode(cls, text, key):
        raw = base64.b64decode(_as_bytes(text))
        return unpad(cls._cipher(key).decrypt(raw), 8).decode("utf-8")
