"""TavrelSFTPMain written as a plain Python class: what a user would write
without the extension. The benchmark measures it beside the module, with the
same framework classes and the same steps, call for call."""

import paramiko
from tavrel_log import TavrelLog
from tavrel_ssh import TavrelSSH
from tavrel_var import TavrelVar


class PlainSFTPMain:
    def __init__(self, config):
        self._log = TavrelLog(file=False)
        self._cleanse_params(config)
        if self._config.ssh:
            self._config = TavrelSSH(self._config.todict()).connect()

    def _cleanse_params(self, config):
        self._config = TavrelVar(**config)
        self._set_params_dict()
        deletion = []
        error = []
        raise_list = []
        for param, option in self._params_dict.items():
            if self._config.get(param):
                if option.get("optional"):
                    if self._config.get(param) not in option.get("optional"):
                        error.append([param, option.get("optional")])
            elif option.get("type"):
                deletion.append(param)
            elif option.get("default"):
                self._config.set(param, option.get("default"))
        if deletion:
            raise_list.append(f"缺少必填参数：{deletion}")
        for name, optional in error:
            raise_list.append(f"参数{name}预设值不正确，可选：{optional}")
        if raise_list:
            raise_text = "；".join(raise_list)
            raise Exception(raise_text)
        self._set_default_params()
        for key, value in self._default_params.items():
            if key not in config.keys():
                config.update({key: value})

    def _set_params_dict(self):
        self._params_dict = {
            "host": {"type": True},
            "port": {"type": False, "default": 22},
            "user": {"type": True},
            "password": {"type": True},
        }

    def _set_default_params(self):
        self._default_params = {
            "ssh": None,
            "ssh_host": None,
            "ssh_port": None,
            "ssh_user": None,
            "ssh_password": None,
            "ssh_rsa": None,
            "ssh_rsa_pwd": None,
        }

    def _connect(self):
        self._ssh = paramiko.SSHClient()
        self._ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
        transport = paramiko.Transport(f"{self._config.host}:{self._config.port}")
        transport.connect(username=self._config.user, password=self._config.password)
        self._sftp = paramiko.SFTPClient.from_transport(transport)

    def _close(self):
        self._sftp.close()
        self._ssh.close()

    def _remove(self, path):
        self._sftp.remove(path)
        return True

    def _rename(self, ole_path, new_path):
        self._sftp.rename(ole_path, new_path)
        return True

    def _posix_rename(self, ole_path, new_path):
        self._sftp.posix_rename(ole_path, new_path)
        return True

    def _mkdir(self, path):
        self._sftp.mkdir(path)
        return True

    def _rmdir(self, path):
        self._sftp.rmdir(path)
        return True

    def _stat(self, file_path):
        return self._sftp.stat(file_path)

    def _normalize(self, path):
        return self._sftp.normalize(path)

    def _chdir(self, path):
        self._sftp.chdir(path)
        return True

    def _upload(self, src_file, dsc_path):
        try:
            self._sftp.put(src_file, dsc_path)
            return True
        except Exception:
            return False

    def _download(self, src_file, dsc_path):
        try:
            self._sftp.get(src_file, dsc_path)
            return True
        except Exception:
            return False

    def __del__(self):
        try:
            self._close()
        except Exception:
            pass
